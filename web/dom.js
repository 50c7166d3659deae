// Element helpers. Every text from the server (node results, log texts,
// names) goes in as a text node: nothing here ever parses data as HTML.

const SVG_NS = 'http://www.w3.org/2000/svg';

function fill(el, attrs, children) {
  for (const [name, value] of Object.entries(attrs || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name.startsWith('on') && typeof value === 'function') {
      el.addEventListener(name.slice(2), value);
    } else if (name === 'text') {
      el.textContent = String(value);
    } else {
      el.setAttribute(name, value === true ? '' : String(value));
    }
  }
  for (const child of children.flat(Infinity)) {
    if (child === undefined || child === null || child === false) continue;
    el.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return el;
}

// h('button', {type: 'button', onclick: f}, 'Approve')
export function h(tag, attrs, ...children) {
  return fill(document.createElement(tag), attrs, children);
}

export function svg(tag, attrs, ...children) {
  return fill(document.createElementNS(SVG_NS, tag), attrs, children);
}

export function clear(el) {
  while (el.firstChild) el.firstChild.remove();
  return el;
}

// A value as readable text: texts as they are, anything else as JSON.
export function shown(value) {
  if (value === undefined || value === null) return '';
  if (typeof value === 'string') return value;
  return JSON.stringify(value, null, 2);
}

// Seconds between two "YYYY-MM-DD HH:MM:SS" texts of the same zone, as "1m 05s".
export function duration(from, to) {
  const parse = (text) => Date.parse(String(text).replace(' ', 'T') + 'Z');
  const start = parse(from);
  const end = to ? parse(to) : Date.now() - new Date().getTimezoneOffset() * 60000;
  if (Number.isNaN(start) || Number.isNaN(end) || end < start) return '';
  let seconds = Math.round((end - start) / 1000);
  const hours = Math.floor(seconds / 3600);
  seconds -= hours * 3600;
  const minutes = Math.floor(seconds / 60);
  seconds -= minutes * 60;
  const pad = (n) => String(n).padStart(2, '0');
  if (hours) return `${hours}h ${pad(minutes)}m`;
  if (minutes) return `${minutes}m ${pad(seconds)}s`;
  return `${seconds}s`;
}

// A message in the page's live region, read out by screen readers.
export function notify(text, kind = 'info') {
  const region = document.getElementById('status');
  if (!region) return;
  region.className = `status ${kind}`;
  region.textContent = text;
}
