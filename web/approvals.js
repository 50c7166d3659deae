// Approvals: the audit nodes runs wait at, approved or rejected here.
import {api} from './api.js';
import {h, clear, shown, notify} from './dom.js';

export async function approvalList(main) {
  const body = h('tbody', {id: 'approvals-body'});
  main.append(
    h('h1', {}, 'Approvals'),
    h('table', {}, h('thead', {}, h('tr', {}, ['Run', 'Playbook', 'Audit node', 'Approver', 'Waiting since', 'Decision'].map((t) => h('th', {scope: 'col'}, t)))), body));
  const refresh = async () => {
    const pending = await api('/api/audits');
    clear(body);
    for (const audit of pending) {
      const error = h('span', {class: 'error', role: 'alert'});
      const decide = (status, verb) => async (event) => {
        const buttons = event.target.parentElement.querySelectorAll('button');
        buttons.forEach((b) => { b.disabled = true; });
        error.textContent = '';
        try {
          await api(`/api/audits/${encodeURIComponent(audit.only_id)}/decision`, {
            method: 'POST', body: {audit_app: audit.audit_app, status, user: 'console'},
          });
          notify(`Run ${audit.only_id} ${verb}.`);
          await refresh();
        } catch (e) {
          error.textContent = `Refused: ${e.message}`;
          buttons.forEach((b) => { b.disabled = false; });
        }
      };
      body.append(h('tr', {'data-run': audit.only_id},
        h('td', {class: 'mono'}, h('a', {href: `#/runs/${encodeURIComponent(audit.only_id)}`}, audit.only_id)),
        h('td', {}, shown(audit.playbook) || shown(audit.uuid)),
        h('td', {class: 'mono'}, shown(audit.audit_app)),
        h('td', {}, shown(audit.approver)),
        h('td', {}, shown(audit.waiting_since)),
        h('td', {class: 'decision'},
          h('button', {type: 'button', class: 'approve', onclick: decide(1, 'approved'), 'aria-label': `Approve run ${audit.only_id}`}, 'Approve'),
          h('button', {type: 'button', class: 'reject', onclick: decide(2, 'rejected'), 'aria-label': `Reject run ${audit.only_id}`}, 'Reject'),
          error)));
    }
    if (!pending.length) body.append(h('tr', {}, h('td', {colspan: 6}, 'No run waits for a decision.')));
  };
  await refresh();
}
