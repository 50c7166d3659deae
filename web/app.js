// The console's shell: navigation by the address's #fragment, the token
// prompt, and the page in view. Every page is a function that fills <main>
// and may return a function that stops its live updates.
import {api, setToken, token, whenUnauthorized} from './api.js';
import {h, clear, notify} from './dom.js';
import {approvalList} from './approvals.js';
import {playbookDetail, playbookList} from './playbooks.js';
import {runDetail, runList} from './runs.js';
import {timerList} from './timers.js';

const main = document.getElementById('main');
let stopPage = null;

let shownPage = 0;  // counts page changes: a page that loads too late stays out of view

const routes = [
  [/^#\/runs\/([^/?]+)$/, (view, m) => runDetail(view, decodeURIComponent(m[1]))],
  [/^#\/runs(?:\?(.*))?$/, (view, m) => runList(view, new URLSearchParams(m[1] || ''))],
  [/^#\/playbooks\/([^/?]+)$/, (view, m) => playbookDetail(view, decodeURIComponent(m[1]), navigate)],
  [/^#\/playbooks$/, (view) => playbookList(view)],
  [/^#\/approvals$/, (view) => approvalList(view)],
  [/^#\/timers$/, (view) => timerList(view)],
];

function navigate(hash) {
  if (location.hash === hash) show();
  else location.hash = hash;
}

function markNavigation(hash) {
  for (const link of document.querySelectorAll('nav a')) {
    const here = hash.startsWith(link.getAttribute('href'));
    if (here) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
}

async function show() {
  if (stopPage) stopPage();
  stopPage = null;
  const hash = location.hash || '#/runs';
  const page = ++shownPage;
  markNavigation(hash);
  const view = h('div', {class: 'page'});
  // The runs list the server put in the page stays until this page is ready.
  const initial = document.getElementById('initial');
  if (!initial) clear(main).append(view);
  const route = routes.find(([pattern]) => pattern.test(hash));
  if (!route) {
    clear(main).append(view);
    view.append(h('h1', {}, 'Not found'), h('p', {}, 'No such page. '), h('a', {href: '#/runs'}, 'See the runs'));
    return;
  }
  try {
    const stop = await route[1](view, hash.match(route[0]));
    if (typeof stop === 'function') {
      if (page === shownPage) stopPage = stop;
      else stop();
    }
  } catch (e) {
    if (e.status === 401) return;  // the token prompt is up
    view.append(h('p', {class: 'error', role: 'alert'}, e.message));
  }
  if (page !== shownPage) return;
  if (initial) clear(main).append(view);
  const heading = view.querySelector('h1');
  if (heading) document.title = `${heading.textContent} · vqflow`;
}

// Asks for the token once; it is kept for this tab only.
function askToken(error) {
  if (document.getElementById('token')) return;  // already asking
  if (stopPage) stopPage();
  stopPage = null;
  ++shownPage;
  clear(main);
  const input = h('input', {id: 'token', type: 'password', autocomplete: 'current-password', required: true});
  const form = h('form', {class: 'token'},
    h('h1', {}, 'Token needed'),
    h('p', {}, token() ? `The server refused the token: ${error.message}.` : 'This server asks for its access token.'),
    h('label', {for: 'token'}, 'Access token'), input,
    h('button', {type: 'submit'}, 'Use token'));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    setToken(input.value.trim());
    notify('Token kept for this tab.');
    show();
  });
  main.append(form);
  input.focus();
}

whenUnauthorized(askToken);
document.getElementById('forget-token').addEventListener('click', () => {
  setToken('');
  notify('Token forgotten.');
  show();
});
// The fragment names pages, so the skip link moves the focus itself.
document.querySelector('.skip').addEventListener('click', (event) => {
  event.preventDefault();
  main.focus();
});
window.addEventListener('hashchange', show);
show();
// Tells a broken store apart from an empty one.
api('/api/health').catch((e) => {
  if (e.status !== 401) notify(`Server health: ${e.message}`, 'error');
});
