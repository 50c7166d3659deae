// A playbook's flow drawn as SVG: node positions from the flow document when
// it has them, else a layered layout (layers by longest path from the start,
// order within a layer by the barycentre of the neighbours).
import {svg, clear} from './dom.js';

const NODE_W = 150;
const NODE_H = 46;
const GAP_X = 70;
const GAP_Y = 44;
const PAD = 24;

// The kind of each node, from the playbook's special ids and lists.
export function nodeKind(playbook, id) {
  if (id === playbook.start_app) return 'start';
  if (id === playbook.end_app) return 'end';
  if ((playbook.if_list || []).includes(id)) return 'if';
  if ((playbook.for_list || []).includes(id)) return 'for';
  if ((playbook.audit_list || []).includes(id)) return 'audit';
  if (id === playbook.input_app) return 'input';
  if (id === playbook.webhook_app) return 'webhook';
  if (id === playbook.timer_app) return 'timer';
  return 'app';
}

export const KIND_NAMES = {
  start: 'start', end: 'end', if: 'IF condition', for: 'FOR loop', audit: 'audit (approval)',
  input: 'user input', webhook: 'webhook', timer: 'timer', app: 'app action',
};

// Nodes and edges of a flow document; tolerant of partial documents.
export function flowGraph(flow) {
  const cells = flow && Array.isArray(flow.cells) ? flow.cells : [];
  const nodes = [];
  const edges = [];
  const seen = new Set();
  for (const cell of cells) {
    if (!cell || typeof cell !== 'object') continue;
    if (cell.shape === 'html' && typeof cell.id === 'string' && !seen.has(cell.id)) {
      seen.add(cell.id);
      const position = cell.position || (Number.isFinite(cell.x) ? {x: cell.x, y: cell.y} : null);
      nodes.push({
        id: cell.id,
        name: cell.data && cell.data.name !== undefined ? String(cell.data.name) : cell.id,
        position: position && Number.isFinite(position.x) && Number.isFinite(position.y) ? position : null,
      });
    } else if (cell.shape === 'vqEdge' && cell.source && cell.target) {
      edges.push({from: String(cell.source.cell), to: String(cell.target.cell)});
    }
  }
  return {nodes, edges: edges.filter((e) => seen.has(e.from) && seen.has(e.to))};
}

// Layer of each node: the longest path from a source, cycles broken at
// edges that go back to a node on the current walk.
function layers(nodes, edges, startId) {
  const out = new Map(nodes.map((n) => [n.id, []]));
  const incoming = new Map(nodes.map((n) => [n.id, 0]));
  for (const e of edges) {
    out.get(e.from).push(e.to);
    incoming.set(e.to, incoming.get(e.to) + 1);
  }
  const forward = [];  // edges kept after dropping back edges
  const state = new Map();  // 1 on the walk, 2 done
  const visit = (id) => {
    state.set(id, 1);
    for (const to of out.get(id)) {
      if (state.get(to) === 1) continue;
      forward.push({from: id, to});
      if (!state.has(to)) visit(to);
    }
    state.set(id, 2);
  };
  const roots = [startId, ...nodes.filter((n) => incoming.get(n.id) === 0).map((n) => n.id), ...nodes.map((n) => n.id)];
  for (const id of roots) if (id !== undefined && out.has(id) && !state.has(id)) visit(id);
  const layer = new Map(nodes.map((n) => [n.id, 0]));
  // Longest path on the acyclic edges: relax as often as there are nodes.
  for (let round = 0; round < nodes.length; round++) {
    let changed = false;
    for (const e of forward) {
      if (layer.get(e.to) < layer.get(e.from) + 1) {
        layer.set(e.to, layer.get(e.from) + 1);
        changed = true;
      }
    }
    if (!changed) break;
  }
  return layer;
}

// {id: {x, y}} for every node: stored positions when every node has one.
export function layout(graph, startId) {
  const positions = new Map();
  if (graph.nodes.length && graph.nodes.every((n) => n.position)) {
    const minX = Math.min(...graph.nodes.map((n) => n.position.x));
    const minY = Math.min(...graph.nodes.map((n) => n.position.y));
    for (const n of graph.nodes) positions.set(n.id, {x: n.position.x - minX + PAD, y: n.position.y - minY + PAD});
    return positions;
  }
  const layer = layers(graph.nodes, graph.edges, startId);
  const rows = [];
  for (const n of graph.nodes) (rows[layer.get(n.id)] ||= []).push(n.id);
  const index = new Map();
  const place = () => rows.forEach((row) => row && row.forEach((id, i) => index.set(id, i)));
  place();
  const neighbours = (id, up) => graph.edges.filter((e) => (up ? e.to : e.from) === id).map((e) => (up ? e.from : e.to));
  // A few sweeps down and up, each ordering a row by its neighbours' mean place.
  for (let sweep = 0; sweep < 4; sweep++) {
    const up = sweep % 2 === 0;
    for (const row of up ? rows : [...rows].reverse()) {
      if (!row) continue;
      const centre = (id) => {
        const around = neighbours(id, up).map((n) => index.get(n));
        return around.length ? around.reduce((a, b) => a + b, 0) / around.length : index.get(id);
      };
      row.sort((a, b) => centre(a) - centre(b));
      place();
    }
  }
  const widest = Math.max(1, ...rows.map((row) => (row ? row.length : 0)));
  rows.forEach((row, r) => {
    if (!row) return;
    const offset = ((widest - row.length) * (NODE_W + GAP_X)) / 2;
    row.forEach((id, i) => positions.set(id, {x: PAD + offset + i * (NODE_W + GAP_X), y: PAD + r * (NODE_H + GAP_Y)}));
  });
  return positions;
}

function shape(kind) {
  const w = NODE_W;
  const hgt = NODE_H;
  switch (kind) {
    case 'start':
    case 'end':
      return svg('rect', {class: 'shape', width: w, height: hgt, rx: hgt / 2});
    case 'if':
      return svg('polygon', {class: 'shape', points: `${w / 2},0 ${w},${hgt / 2} ${w / 2},${hgt} 0,${hgt / 2}`});
    case 'for':
      return svg('polygon', {class: 'shape', points: `14,0 ${w - 14},0 ${w},${hgt / 2} ${w - 14},${hgt} 14,${hgt} 0,${hgt / 2}`});
    case 'audit':
      return svg('polygon', {class: 'shape', points: `10,0 ${w - 10},0 ${w},10 ${w},${hgt - 10} ${w - 10},${hgt} 10,${hgt} 0,${hgt - 10} 0,10`});
    case 'input':
    case 'webhook':
    case 'timer':
      return svg('polygon', {class: 'shape', points: `12,0 ${w},0 ${w - 12},${hgt} 0,${hgt}`});
    default:
      return svg('rect', {class: 'shape', width: w, height: hgt, rx: 4});
  }
}

// Draws the graph into `host`; `onSelect(id)` is called when a node is
// clicked or chosen with Enter/Space. Returns {mark(id, className)} to
// colour nodes afterwards.
export function drawGraph(host, playbook, onSelect) {
  clear(host);
  const graph = flowGraph(playbook.flow_json);
  const positions = layout(graph, playbook.start_app);
  let width = 0;
  let height = 0;
  for (const p of positions.values()) {
    width = Math.max(width, p.x + NODE_W + PAD);
    height = Math.max(height, p.y + NODE_H + PAD);
  }
  const marker = svg('marker', {id: 'arrow', viewBox: '0 0 10 10', refX: 10, refY: 5, markerWidth: 8, markerHeight: 8, orient: 'auto-start-reverse'},
    svg('path', {d: 'M 0 0 L 10 5 L 0 10 z', class: 'arrow'}));
  const root = svg('svg', {class: 'graph', viewBox: `0 0 ${Math.max(width, 200)} ${Math.max(height, 80)}`, width: Math.max(width, 200), height: Math.max(height, 80), role: 'group', 'aria-label': 'playbook graph'},
    svg('defs', {}, marker));
  for (const e of graph.edges) {
    const a = positions.get(e.from);
    const b = positions.get(e.to);
    const x1 = a.x + NODE_W / 2;
    const y1 = a.y + NODE_H;
    const x2 = b.x + NODE_W / 2;
    const y2 = b.y;
    const d = y2 > y1 ? `M ${x1} ${y1} C ${x1} ${(y1 + y2) / 2}, ${x2} ${(y1 + y2) / 2}, ${x2} ${y2}`
      : `M ${x1} ${y1} C ${x1} ${y1 + 40}, ${x2 + NODE_W} ${y2 - 40}, ${x2} ${y2}`;
    root.append(svg('path', {class: 'edge', d, 'marker-end': 'url(#arrow)'}));
  }
  const groups = new Map();
  for (const n of graph.nodes) {
    const p = positions.get(n.id);
    const kind = nodeKind(playbook, n.id);
    const label = n.name.length > 20 ? `${n.name.slice(0, 19)}…` : n.name;
    const g = svg('g', {class: `node kind-${kind}`, transform: `translate(${p.x} ${p.y})`, tabindex: 0, role: 'button',
      'data-node': n.id, 'aria-label': `${n.name} (${KIND_NAMES[kind]})`},
    svg('title', {text: `${n.name}\n${KIND_NAMES[kind]} · ${n.id}`}),
    shape(kind),
    svg('text', {x: NODE_W / 2, y: NODE_H / 2, class: 'label', 'text-anchor': 'middle', 'dominant-baseline': 'middle', text: label}));
    const choose = () => {
      for (const other of groups.values()) other.classList.remove('selected');
      g.classList.add('selected');
      onSelect(n.id);
    };
    g.addEventListener('click', choose);
    g.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        choose();
      }
    });
    groups.set(n.id, g);
    root.append(g);
  }
  host.append(root);
  return {
    nodes: graph.nodes,
    mark(id, className) {
      const g = groups.get(id);
      if (g) g.classList.add(className);
    },
    unmark(...classNames) {
      for (const g of groups.values()) g.classList.remove(...classNames);
    },
    // The node's outcome class ("run-..."), replacing the one it had.
    outcome(id, className) {
      const g = groups.get(id);
      if (!g) return;
      g.classList.remove(...[...g.classList].filter((c) => c.startsWith('run-')));
      g.classList.add(className);
    },
  };
}
