// The server's HTTP, JSON-RPC and WebSocket interfaces, with the token the
// user entered (kept for this tab only, in its session storage).

const TOKEN_KEY = 'vqflow.token';

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

export function token() {
  return sessionStorage.getItem(TOKEN_KEY) || '';
}

export function setToken(value) {
  if (value) sessionStorage.setItem(TOKEN_KEY, value);
  else sessionStorage.removeItem(TOKEN_KEY);
}

// Called with the error when the server refuses the token (401).
let onUnauthorized = () => {};
export function whenUnauthorized(handler) {
  onUnauthorized = handler;
}

export async function api(path, options = {}) {
  const headers = {Accept: 'application/json'};
  if (token()) headers.Authorization = `Bearer ${token()}`;
  let body;
  if (options.body !== undefined) {
    headers['Content-Type'] = 'application/json';
    body = JSON.stringify(options.body);
  }
  let response;
  try {
    response = await fetch(path, {method: options.method || 'GET', headers, body});
  } catch (e) {
    throw new ApiError(0, `the server cannot be reached (${e.message})`);
  }
  const text = await response.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = text;
  }
  if (!response.ok) {
    const message = data && data.error ? data.error : `HTTP ${response.status}`;
    const error = new ApiError(response.status, message);
    if (response.status === 401) onUnauthorized(error);
    throw error;
  }
  return data;
}

let rpcId = 0;
export async function rpc(method, params = {}) {
  const answer = await api('/rpc', {method: 'POST', body: {jsonrpc: '2.0', method, params, id: ++rpcId}});
  if (answer && answer.error) throw new ApiError(200, answer.error.message || 'remote call failed');
  return answer ? answer.result : null;
}

// A WebSocket to /api/ws. The browser cannot set its Authorization header,
// so the token goes as the access_token query parameter.
export function openSocket() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const query = token() ? `?access_token=${encodeURIComponent(token())}` : '';
  return new WebSocket(`${scheme}//${location.host}/api/ws${query}`);
}
