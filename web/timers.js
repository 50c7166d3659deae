// Timers: the timer service's jobs with their next fire times, paused,
// resumed and removed here; a cron timer added with a preview of its fires.
import {api, rpc} from './api.js';
import {h, clear, shown, notify} from './dom.js';

const PREVIEW_DELAY_MS = 250;

export async function timerList(main) {
  const playbooks = await api('/api/playbooks').catch(() => []);
  const names = new Map(playbooks.map((p) => [p.uuid, shown(p.name) || p.uuid]));
  const body = h('tbody', {id: 'timers-body'});
  const listError = h('p', {class: 'error', role: 'alert'});
  main.append(
    h('h1', {}, 'Timers'),
    listError,
    h('table', {}, h('thead', {}, h('tr', {}, ['Timer', 'Playbook', 'Trigger', 'Next fire', 'State', 'Actions'].map((t) => h('th', {scope: 'col'}, t)))), body));

  const refresh = async () => {
    let jobs;
    try {
      jobs = await rpc('get_jobs');
      listError.textContent = '';
    } catch (e) {
      listError.textContent = `The timers cannot be listed: ${e.message}`;
      return;
    }
    clear(body);
    for (const job of jobs) {
      const act = (method, param, verb) => async () => {
        try {
          await rpc(method, {[param]: job.id});
          notify(`Timer ${job.id} ${verb}.`);
        } catch (e) {
          notify(`Timer ${job.id} not ${verb}: ${e.message}`, 'error');
        }
        await refresh();
      };
      const state = job.paused ? 'paused' : job.next_run_time ? 'active' : 'fires no more';
      body.append(h('tr', {'data-timer': job.id, 'data-state': state},
        h('td', {class: 'mono'}, job.id),
        h('td', {}, names.get(job.uuid) || shown(job.uuid)),
        h('td', {class: 'mono'}, shown(job.trigger)),
        h('td', {}, shown(job.next_run_time) || '—'),
        h('td', {}, h('span', {class: `state state-${state.replace(/ /g, '-')}`}, state)),
        h('td', {},
          job.paused
            ? h('button', {type: 'button', class: 'resume', onclick: act('resume', 'uuid', 'resumed'), 'aria-label': `Resume timer ${job.id}`}, 'Resume')
            : h('button', {type: 'button', class: 'pause', onclick: act('pause', 'uuid', 'paused'), 'aria-label': `Pause timer ${job.id}`}, 'Pause'),
          h('button', {type: 'button', class: 'remove', onclick: act('remove', 'timer_app', 'removed'), 'aria-label': `Remove timer ${job.id}`}, 'Remove'))));
    }
    if (!jobs.length) body.append(h('tr', {}, h('td', {colspan: 6}, 'No timers.')));
  };
  await refresh();
  main.append(addForm(playbooks, refresh));
}

// Adds a cron timer through the timer service: it starts paused.
function addForm(playbooks, refresh) {
  const playbook = h('select', {id: 'timer-playbook', required: true},
    playbooks.map((p) => h('option', {value: p.uuid}, shown(p.name) || p.uuid)));
  const id = h('input', {id: 'timer-id', required: true, placeholder: 'the timer node id', autocomplete: 'off'});
  const crontab = h('input', {id: 'timer-crontab', required: true, placeholder: '*/5 * * * *', autocomplete: 'off', 'aria-describedby': 'timer-preview'});
  const preview = h('div', {id: 'timer-preview', class: 'preview', 'aria-live': 'polite'});
  const error = h('p', {class: 'error', role: 'alert'});
  let pending = null;
  let asked = 0;
  const showPreview = async () => {
    const text = crontab.value.trim();
    const ask = ++asked;
    if (!text) {
      clear(preview);
      return;
    }
    try {
      const answer = await api(`/api/timers/next?crontab=${encodeURIComponent(text)}&count=5`);
      if (ask !== asked) return;
      clear(preview).append(h('p', {}, `Next fire times (${answer.zone}):`),
        h('ol', {}, answer.times.map((t) => h('li', {}, `${t.at} ${t.weekday}`))));
    } catch (e) {
      if (ask !== asked) return;
      clear(preview).append(h('p', {class: 'error'}, e.message));
    }
  };
  crontab.addEventListener('input', () => {
    clearTimeout(pending);
    pending = setTimeout(showPreview, PREVIEW_DELAY_MS);
  });
  const form = h('form', {class: 'add-timer', 'aria-labelledby': 'add-timer-title'},
    h('h2', {id: 'add-timer-title'}, 'Add a cron timer'),
    h('div', {class: 'field'}, h('label', {for: 'timer-playbook'}, 'Playbook'), playbook),
    h('div', {class: 'field'}, h('label', {for: 'timer-id'}, 'Timer id'), id),
    h('div', {class: 'field'}, h('label', {for: 'timer-crontab'}, 'Crontab (minute hour day month weekday)'), crontab),
    preview,
    h('button', {type: 'submit', id: 'add-timer'}, 'Add timer'),
    error);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    error.textContent = '';
    const timer = id.value.trim();
    const settings = {[timer]: {type: 'cron', time: crontab.value.trim()}};
    try {
      await rpc('exec', {uuid: playbook.value, timer_app: timer, w_timer_app: '', controller_data: JSON.stringify(settings)});
      notify(`Timer ${timer} added (paused until resumed).`);
      id.value = '';
      crontab.value = '';
      clear(preview);
      await refresh();
    } catch (e) {
      error.textContent = `Not added: ${e.message}`;
    }
  });
  return form;
}
