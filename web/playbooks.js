// Playbooks: the list with search, and one playbook drawn as its graph with
// its node settings and the checks' findings.
import {api} from './api.js';
import {h, clear, shown, notify} from './dom.js';
import {drawGraph, nodeKind, KIND_NAMES} from './graph.js';

export async function playbookList(main) {
  const list = await api('/api/playbooks');
  const search = h('input', {type: 'search', id: 'playbook-search', placeholder: 'name, remarks or uuid'});
  const body = h('tbody');
  const render = () => {
    clear(body);
    const wanted = search.value.trim().toLowerCase();
    const shownRows = list.filter((p) => !wanted || [p.name, p.remarks, p.uuid].some((v) => shown(v).toLowerCase().includes(wanted)));
    for (const p of shownRows) {
      body.append(h('tr', {},
        h('td', {}, h('a', {href: `#/playbooks/${encodeURIComponent(p.uuid)}`}, shown(p.name) || p.uuid)),
        h('td', {}, shown(p.remarks)),
        h('td', {class: 'mono'}, p.uuid),
        h('td', {}, String(p.status) === '1' ? 'disabled' : 'enabled')));
    }
    if (!shownRows.length) body.append(h('tr', {}, h('td', {colspan: 4}, 'No playbook matches.')));
  };
  search.addEventListener('input', render);
  render();
  main.append(
    h('h1', {}, 'Playbooks'),
    h('div', {class: 'filters'}, h('label', {for: 'playbook-search'}, 'Search'), search),
    h('table', {}, h('thead', {}, h('tr', {}, h('th', {scope: 'col'}, 'Name'), h('th', {scope: 'col'}, 'Remarks'), h('th', {scope: 'col'}, 'UUID'), h('th', {scope: 'col'}, 'Status'))), body));
}

// The settings a node has: its app call (flow_data) and its controller
// settings (IF condition, FOR list, audit settings, timer).
function nodeSettings(playbook, id) {
  const settings = {};
  const flowData = playbook.flow_data && typeof playbook.flow_data === 'object' ? playbook.flow_data : {};
  const controller = playbook.controller_data && typeof playbook.controller_data === 'object' ? playbook.controller_data : {};
  if (flowData[id] !== undefined) settings.app = flowData[id];
  if (controller[id] !== undefined) settings.settings = controller[id];
  return settings;
}

// The panel that tells about one node: kind, id, settings, findings.
export function nodePanel(panel, playbook, id, extra) {
  clear(panel);
  panel.hidden = false;
  const node = (playbook.flow_json && Array.isArray(playbook.flow_json.cells) ? playbook.flow_json.cells : [])
    .find((c) => c && c.id === id) || {};
  const kind = nodeKind(playbook, id);
  const findings = (playbook.findings || []).filter((f) => f.node === id);
  panel.append(
    h('h2', {}, shown(node.data && node.data.name) || id),
    h('dl', {}, h('dt', {}, 'Kind'), h('dd', {}, KIND_NAMES[kind]), h('dt', {}, 'Node id'), h('dd', {class: 'mono'}, id)));
  const settings = nodeSettings(playbook, id);
  if (Object.keys(settings).length) panel.append(h('h3', {}, 'Settings'), h('pre', {}, shown(settings)));
  if (findings.length) {
    panel.append(h('h3', {}, 'Findings'), h('ul', {class: 'findings'},
      findings.map((f) => h('li', {class: f.severity}, `${f.severity}: ${f.member ? f.member + ': ' : ''}${f.message}`))));
  }
  if (extra) panel.append(extra);
}

export async function playbookDetail(main, uuid, navigate) {
  const playbook = await api(`/api/playbooks/${encodeURIComponent(uuid)}`);
  const panel = h('aside', {class: 'panel', 'aria-live': 'polite'}, h('p', {}, 'Choose a node to see its settings.'));
  const graphHost = h('div', {class: 'graph-host'});
  main.append(h('h1', {}, shown(playbook.name) || playbook.uuid), h('p', {class: 'muted'}, shown(playbook.remarks)));
  main.append(startForm(playbook, navigate));
  main.append(h('div', {class: 'split'}, graphHost, panel));
  const graph = drawGraph(graphHost, playbook, (id) => nodePanel(panel, playbook, id));
  for (const f of playbook.findings || []) {
    if (f.node) graph.mark(f.node, f.severity === 'error' ? 'finding-error' : 'finding-warning');
  }
  const findings = playbook.findings || [];
  main.append(h('h2', {}, `Findings (${findings.length})`));
  main.append(findings.length
    ? h('ul', {class: 'findings'}, findings.map((f) => h('li', {class: f.severity},
      `${f.severity}: ${f.node ? 'node ' + f.node + ': ' : ''}${f.member ? f.member + ': ' : ''}${f.message}`)))
    : h('p', {}, 'The checks find nothing wrong.'));
}

// Starts a run; with input data for the input node when the playbook has one.
function startForm(playbook, navigate) {
  const data = h('textarea', {id: 'run-data', rows: 3, cols: 50, placeholder: 'JSON or text'});
  const error = h('p', {class: 'error', role: 'alert'});
  const form = h('form', {class: 'start'},
    playbook.input_app ? [h('label', {for: 'run-data'}, 'Input data for the input node'), data] : null,
    h('button', {type: 'submit', id: 'start-run'}, 'Start a run'), error);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    error.textContent = '';
    const request = {uuid: playbook.uuid};
    if (playbook.input_app && data.value.trim()) {
      let value = data.value;
      try {
        value = JSON.parse(value);
      } catch {
        // Plain text is input data too.
      }
      request.app_uuid = playbook.input_app;
      request.data = value;
    }
    try {
      const started = await api('/api/runs', {method: 'POST', body: request});
      notify(`Run ${started.only_id} started.`);
      navigate(`#/runs/${encodeURIComponent(started.only_id)}`);
    } catch (e) {
      error.textContent = `Not started: ${e.message}`;
    }
  });
  return form;
}
