// Runs: the live list, and one run as its graph coloured by outcome while
// its records arrive, with the records beside it.
import {api, openSocket} from './api.js';
import {h, clear, shown, duration, notify} from './dom.js';
import {drawGraph} from './graph.js';
import {nodePanel} from './playbooks.js';

const STATES = ['running', 'waiting', 'done', 'failed', 'aborted', 'interrupted', 'cancelled'];
const POLL_MS = 1500;

// Calls `step` every POLL_MS (the first time now, unless `later`) until the
// returned stop is called.
function every(step, later = false) {
  let timer = null;
  let stopped = false;
  const run = async () => {
    try {
      await step();
    } catch (e) {
      notify(e.message, 'error');
    }
    if (!stopped) timer = setTimeout(run, POLL_MS);
  };
  if (later) timer = setTimeout(run, POLL_MS);
  else run();
  return () => {
    stopped = true;
    clearTimeout(timer);
  };
}

export async function runList(main, query) {
  const playbooks = await api('/api/playbooks').catch(() => []);
  const state = h('select', {id: 'run-state'}, h('option', {value: ''}, 'any state'), STATES.map((s) => h('option', {value: s}, s)));
  const playbook = h('select', {id: 'run-playbook'}, h('option', {value: ''}, 'any playbook'),
    playbooks.map((p) => h('option', {value: p.uuid}, shown(p.name) || p.uuid)));
  state.value = query.get('state') || '';
  playbook.value = query.get('playbook') || '';
  const body = h('tbody', {id: 'runs-body'});
  main.append(
    h('h1', {}, 'Runs'),
    h('div', {class: 'filters'},
      h('label', {for: 'run-state'}, 'State'), state,
      h('label', {for: 'run-playbook'}, 'Playbook'), playbook),
    h('table', {}, h('thead', {}, h('tr', {}, ['Run', 'State', 'Playbook', 'Started', 'Duration'].map((t) => h('th', {scope: 'col'}, t)))), body));
  const refresh = async () => {
    const params = new URLSearchParams();
    if (state.value) params.set('state', state.value);
    if (playbook.value) params.set('playbook', playbook.value);
    const runs = await api(`/api/runs?${params}`);
    clear(body);
    for (const run of runs) {
      body.append(h('tr', {'data-run': run.only_id, 'data-state': run.state},
        h('td', {class: 'mono'}, h('a', {href: `#/runs/${encodeURIComponent(run.only_id)}`}, run.only_id)),
        h('td', {}, h('span', {class: `state state-${run.state}`}, run.state)),
        h('td', {}, shown(run.playbook) || run.uuid),
        h('td', {}, run.started),
        h('td', {}, duration(run.started, run.ended))));
    }
    if (!runs.length) body.append(h('tr', {}, h('td', {colspan: 5}, 'No runs.')));
  };
  await refresh();
  let stop = every(refresh, true);
  const again = () => {
    stop();
    stop = every(refresh);
  };
  state.addEventListener('change', again);
  playbook.addEventListener('change', again);
  return () => stop();
}

// Outcome class of a record: 0 success, 1 failed step, 2 failed app.
function outcome(record) {
  const status = String(record.status);
  return status === '0' ? 'ok' : status === '1' ? 'failed' : 'app-failed';
}

function recordRow(record) {
  const args = h('pre', {class: 'args', hidden: true}, shown(record.args));
  const toggle = h('button', {type: 'button', class: 'small', 'aria-expanded': 'false'}, 'Args');
  toggle.addEventListener('click', () => {
    args.hidden = !args.hidden;
    toggle.setAttribute('aria-expanded', String(!args.hidden));
  });
  return h('tr', {class: `record ${outcome(record)}`},
    h('td', {}, h('span', {class: `badge ${outcome(record)}`}, String(record.status))),
    h('td', {}, shown(record.app_name) || shown(record.app_uuid)),
    h('td', {class: 'result'}, shown(record.result)),
    h('td', {}, shown(record.create_time)),
    h('td', {}, record.args !== undefined && record.args !== null && record.args !== '' ? [toggle, args] : ''));
}

export async function runDetail(main, onlyId) {
  const run = await api(`/api/runs/${encodeURIComponent(onlyId)}`);
  const playbook = await api(`/api/playbooks/${encodeURIComponent(run.uuid)}`).catch(() => null);
  const stateText = h('span', {id: 'run-state-text', class: `state state-${run.state}`}, run.state);
  const facts = h('p', {class: 'muted'});
  const cancelError = h('span', {class: 'error', role: 'alert'});
  const cancel = h('button', {type: 'button', id: 'cancel-run'}, 'Cancel run');
  cancel.addEventListener('click', async () => {
    cancelError.textContent = '';
    try {
      await api(`/api/runs/${encodeURIComponent(onlyId)}/cancel`, {method: 'POST', body: {user: 'console'}});
      notify(`Cancel of ${onlyId} asked for.`);
    } catch (e) {
      cancelError.textContent = `Not cancelled: ${e.message}`;
    }
  });
  const records = h('tbody', {id: 'records-body'});
  const graphHost = h('div', {class: 'graph-host'});
  const panel = h('aside', {class: 'panel', hidden: true});
  main.append(
    h('h1', {}, 'Run ', h('span', {class: 'mono'}, onlyId)),
    h('p', {}, 'State: ', stateText, ' · playbook ', playbook ? h('a', {href: `#/playbooks/${encodeURIComponent(run.uuid)}`}, shown(playbook.name) || run.uuid) : run.uuid),
    facts,
    h('div', {class: 'actions'}, cancel, cancelError),
    h('div', {class: 'split'}, graphHost,
      h('section', {class: 'records', 'aria-label': 'log records'},
        h('h2', {}, 'Records'),
        h('table', {}, h('thead', {}, h('tr', {}, ['Status', 'Node', 'Result', 'Time', ''].map((t) => h('th', {scope: 'col'}, t)))), records))),
    panel);
  const graph = playbook ? drawGraph(graphHost, playbook, (id) => nodePanel(panel, playbook, id)) : null;
  if (!graph) graphHost.append(h('p', {}, 'The playbook of this run is no longer stored.'));
  let shownCount = 0;
  const add = (record) => {
    records.append(recordRow(record));
    shownCount++;
    if (graph && record.app_uuid) graph.outcome(record.app_uuid, `run-${outcome(record)}`);
  };
  const showAll = (list) => {
    clear(records);
    shownCount = 0;
    if (graph) graph.unmark('run-ok', 'run-failed', 'run-app-failed');
    list.forEach(add);
  };
  const showState = (current) => {
    stateText.textContent = current.state;
    stateText.className = `state state-${current.state}`;
    facts.textContent = `Started ${current.started}${current.ended ? ', ended ' + current.ended : ''} · ${duration(current.started, current.ended)}` +
      `${current.failed_steps ? ' · ' + current.failed_steps + ' failed step(s)' : ''}${current.reason ? ' · ' + current.reason : ''}` +
      `${current.waiting_at ? ' · waiting at ' + current.waiting_at : ''}`;
    cancel.disabled = current.state !== 'running';
    if (graph) {
      graph.unmark('waiting-here');
      if (current.state === 'waiting' && current.waiting_at) graph.mark(current.waiting_at, 'waiting-here');
    }
  };
  showState(run);
  showAll(await api(`/api/runs/${encodeURIComponent(onlyId)}/logs`));

  // Live records of this run, when a process of this server runs it.
  const socket = openSocket();
  socket.addEventListener('open', () => socket.send(JSON.stringify({method: 'subscribe', data: {only_id: onlyId}})));
  socket.addEventListener('message', (event) => {
    let message;
    try {
      message = JSON.parse(event.data);
    } catch {
      return;
    }
    if (message.method === 'execute_log' && message.data && message.data.only_id === onlyId) add(message.data);
  });
  // The state, and the stored records when they are more than those shown
  // (records written by another process, or before the socket opened).
  let last = run.state;
  const stop = every(async () => {
    const current = await api(`/api/runs/${encodeURIComponent(onlyId)}`);
    showState(current);
    if (current.nodes.length > shownCount || current.state !== last) {
      const stored = await api(`/api/runs/${encodeURIComponent(onlyId)}/logs`);
      if (stored.length >= shownCount) showAll(stored);
    }
    last = current.state;
  });
  return () => {
    stop();
    socket.close();
  };
}
