// Tarvel's page: the service's state from its event stream, the live prompts with their buttons,
// and every session. Texts from agents are only ever set as text (textContent), never as HTML.
'use strict';

// A click on a prompt that appeared or moved less than this long ago is not taken: it was meant
// for whatever was under the pointer before.
const settleMilliseconds = 1000;
// How long an answered prompt stays with its result once the service no longer lists it.
const resultMilliseconds = 6000;

const state = {
  revision: 0, sessions: new Map(), order: [], prompts: [], snapshot: {},
  sessionOutcomes: {}, recentAnswers: [],
};
const cards = new Map();  // replyId -> { element, content, index, shownAt, status, overAt }
let retryDelay = 1000;

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

function duration(milliseconds) {
  const seconds = Math.max(0, Math.floor(milliseconds / 1000));
  if (seconds < 60) return seconds + 's';
  const minutes = Math.floor(seconds / 60);
  if (minutes < 60) return minutes + 'm ' + String(seconds % 60).padStart(2, '0') + 's';
  return Math.floor(minutes / 60) + 'h ' + String(minutes % 60).padStart(2, '0') + 'm';
}

function setConnection(name, text) {
  const node = document.getElementById('connection');
  node.dataset.state = name;
  node.textContent = text;
  // What is shown may be out of date while disconnected: it takes no answers then.
  document.body.dataset.connection = name;
}

// --- Access -------------------------------------------------------------------------------

// The token comes in the address `tarvel web` prints (#token=…, or ?token= from older ones) and
// is kept in this tab's session storage and in this device's local storage, both of which belong
// to this page's own host and port alone: a reload keeps it, no other port is ever sent it (as it
// would be a cookie), and it leaves the address bar and the history at once. The device keeps it
// so that the page opens from a phone's home screen, where no address is typed; the page says so,
// and "Forget this device" takes it away. #prompt=<replyId> names a prompt to bring into view.
const tokenKey = 'tarvel-token';
let wantedPrompt = null;

function takeAddress() {
  const given = new URLSearchParams(location.hash.slice(1));
  const query = new URLSearchParams(location.search);
  const token = given.get('token') || query.get('token');
  if (token) {
    sessionStorage.setItem(tokenKey, token);
    localStorage.setItem(tokenKey, token);
  }
  wantedPrompt = given.get('prompt') || query.get('prompt');
  if (location.hash || location.search) history.replaceState(null, '', location.pathname);
  showDeviceKeeping();
}

function currentToken() {
  return sessionStorage.getItem(tokenKey) || localStorage.getItem(tokenKey) || '';
}

function showDeviceKeeping(forgotten) {
  document.getElementById('device-kept').hidden = !localStorage.getItem(tokenKey);
  document.getElementById('device-forgotten').hidden = !forgotten;
}

document.getElementById('forget-device').addEventListener('click', () => {
  localStorage.removeItem(tokenKey);
  sessionStorage.removeItem(tokenKey);
  showDeviceKeeping(true);
  connect();  // without the token: refused, as a stranger is
});

// A request to the service with the token; every request for data goes through here.
function api(path, options) {
  const headers = Object.assign({}, (options && options.headers) || {});
  headers.Authorization = 'Bearer ' + currentToken();
  return fetch(path, Object.assign({ cache: 'no-store', credentials: 'omit' }, options, { headers }));
}

// --- The event stream ---------------------------------------------------------------------

// Read with fetch rather than EventSource, which cannot send the token. Each connection has a
// number; a newer one (after a missed change) makes the older one's reader stop quietly.
let connection = 0;
let aborter = null;

function connect() {
  const number = ++connection;
  if (aborter) aborter.abort();
  aborter = new AbortController();
  const signal = aborter.signal;
  (async () => {
    let refused = false;
    try {
      const response = await api('/v1/events?answerer=web', { signal });
      if (!response.ok || !response.body) {
        refused = response.status === 401;
        throw new Error('status ' + response.status);
      }
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      let buffered = '';
      while (number === connection) {
        const { value, done } = await reader.read();
        if (done) break;
        buffered += decoder.decode(value, { stream: true });
        let end;
        while ((end = buffered.indexOf('\n\n')) >= 0 && number === connection) {
          const block = buffered.slice(0, end);
          buffered = buffered.slice(end + 2);
          receive(block);
        }
      }
    } catch (error) {
      // Ended below, as a stream that closes.
    }
    if (number !== connection) return;
    aborter = null;
    if (refused) {
      setConnection('refused', 'no access — open the address tarvel web prints');
    } else {
      setConnection('disconnected', 'disconnected — reconnecting');
    }
    setTimeout(() => { if (number === connection) connect(); }, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 10000);
  })();
}

// One message of the stream: its event name and data lines; comments (keep-alives) are skipped.
function receive(block) {
  let name = 'message';
  const data = [];
  for (const line of block.split('\n')) {
    if (line.startsWith('event:')) name = line.slice(6).trim();
    else if (line.startsWith('data:')) data.push(line.slice(line.startsWith('data: ') ? 6 : 5));
  }
  if (data.length === 0) return;
  const message = JSON.parse(data.join('\n'));
  if (name === 'state') takeState(message);
  else if (name === 'change') takeChange(message);
}

function takeState(data) {
  state.sessions = new Map(data.sessions.map((session) => [session.id, session]));
  state.order = data.sessions.map((session) => session.id);
  applyCommon(data);
  retryDelay = 1000;
  setConnection('live', 'live');
  render();
  showWantedPrompt();
}

// The prompt the address named (from a notification's Open), brought into view once.
function showWantedPrompt() {
  const wanted = (wantedPrompt || '').toLowerCase();
  const card = [...cards.entries()].find(([replyId]) => replyId.toLowerCase() === wanted);
  wantedPrompt = null;
  if (!card) return;
  card[1].element.classList.add('wanted');
  card[1].element.scrollIntoView({ block: 'center' });
}

function takeChange(data) {
  if (data.revision !== state.revision + 1) {
    connect();  // a change was missed: start again from the whole state
    return;
  }
  for (const session of data.sessions || []) state.sessions.set(session.id, session);
  for (const id of data.removedSessionIds || []) state.sessions.delete(id);
  if (data.orderChanges) state.order = applyListChanges(state.order, data.orderChanges);
  if (data.snapshotChanges) {
    const next = Object.assign({}, data.snapshotChanges);
    for (const [key, changesKey] of snapshotLists) {
      delete next[changesKey];
      next[key] = data.snapshotChanges[changesKey]
        ? applyListChanges(state.snapshot[key] || [], data.snapshotChanges[changesKey])
        : state.snapshot[key] || [];
    }
    state.snapshot = next;
  }
  if (data.prompts) state.prompts = data.prompts;
  applyEndings(data);
  state.revision = data.revision;
  render();
}

function applyCommon(data) {
  state.revision = data.revision;
  state.prompts = data.prompts || [];
  state.snapshot = data.snapshot || {};
  applyEndings(data);
  renderRemotes(data.remotes || []);
}

// How prompts ended: each session's last one until its next event, and the last answers.
function applyEndings(data) {
  if (data.sessionOutcomes) state.sessionOutcomes = data.sessionOutcomes;
  if (data.recentAnswers) state.recentAnswers = data.recentAnswers;
}

// Remote hosts whose link is down, with why, in the header.
function renderRemotes(remotes) {
  const node = document.getElementById('remotes');
  const down = remotes.filter((remote) => !remote.connected);
  node.textContent = down.map((remote) =>
    remote.host + ' down' + (remote.lastError ? ': ' + remote.lastError : '')).join(' · ');
  node.hidden = down.length === 0;
}

// --- Names -----------------------------------------------------------------------------------

// agentNames, stateNames and outcomeNames come from /names.js: the words the terminal display and the
// notifications use, from the service's own table.
const agentName = (provider) => agentNames[provider] || provider || '';
// How a prompt ended and where from ("Allowed on the web page"), in the service's own words.
const outcomeName = (name, by) => outcomeNames[name + ' ' + by] || outcomeNames[name] || name || '';
const stateName = (name) => stateNames[name] || name || '';

// The snapshot's lists that a change edits rather than sends whole.
const snapshotLists = [['activeSessionIds', 'activeSessionIdChanges'],
  ['attentionSessionIds', 'attentionSessionIdChanges'],
  ['relatedSessionIds', 'relatedSessionIdChanges']];

// A list edited by a change: ids removed or placed anew leave, then each placed id goes to its
// index, in index order.
function applyListChanges(list, changes) {
  const placed = changes.placed || [];
  const gone = new Set((changes.removed || []).concat(placed.map((item) => item.id)));
  const result = list.filter((id) => !gone.has(id));
  for (const item of placed) result.splice(item.index, 0, item.id);
  return result;
}

// --- Prompts --------------------------------------------------------------------------------

function promptContent(prompt) {
  return JSON.stringify([prompt.sessionId, prompt.projectName, prompt.pendingReply]);
}

function renderPrompts(now) {
  const section = document.getElementById('prompts');
  const live = new Set();
  state.prompts.forEach((prompt, index) => {
    live.add(prompt.replyId);
    let card = cards.get(prompt.replyId);
    const content = promptContent(prompt);
    if (!card) {
      card = { element: element('article', 'prompt'), shownAt: now, index, status: null };
      cards.set(prompt.replyId, card);
    }
    if (card.content !== content) {
      card.content = content;
      card.shownAt = now;
      fillPrompt(card, prompt);
    }
    if (card.index !== index) {
      card.index = index;
      card.shownAt = now;
    }
    card.prompt = prompt;
    card.overAt = undefined;
    card.element.classList.remove('over');
  });
  for (const [replyId, card] of cards) {
    if (live.has(replyId)) continue;
    // Gone from the service: kept a little while only when it shows the result of an answer.
    if (!card.status) {
      card.element.remove();
      cards.delete(replyId);
      continue;
    }
    if (card.overAt === undefined) {
      card.overAt = now;
      card.element.classList.add('over');
      for (const control of card.element.querySelectorAll('button, input')) control.disabled = true;
    }
    if (now - card.overAt > resultMilliseconds) {
      card.element.remove();
      cards.delete(replyId);
    }
  }
  // Live prompts first, oldest first, then the answered ones still showing their result.
  const ordered = [...cards.values()].sort((a, b) =>
    (a.overAt !== undefined) - (b.overAt !== undefined) || a.index - b.index);
  ordered.forEach((card, position) => {
    if (section.children[position] !== card.element) {
      section.insertBefore(card.element, section.children[position] || null);
    }
  });
  updateRemaining(now);
}

function fillPrompt(card, prompt) {
  const reply = prompt.pendingReply || {};
  const node = card.element;
  node.replaceChildren();
  node.dataset.replyId = prompt.replyId;
  const who = element('div', 'who');
  who.append(element('span', 'agent', agentName(prompt.provider)),
             element('span', 'project', prompt.projectName || ''),
             element('span', 'remaining'));
  node.append(who);
  // Which piece of work asks: its task, the folder it works in, and its machine when that is
  // not this one (the service keeps a host only for agents on other machines).
  const session = state.sessions.get(prompt.sessionId);
  if (session && session.task) node.append(element('div', 'task', session.task));
  const host = session && session.origin && session.origin.host;
  if (session && session.workingDirectory) {
    node.append(element('div', 'where',
                        'in ' + session.workingDirectory + (host ? ' on ' + host : '')));
  } else if (host) {
    node.append(element('div', 'where', 'on ' + host));
  }
  node.append(element('div', 'question-text', reply.prompt));
  // The agent's own words for why it asks.
  if (reply.reason) node.append(element('div', 'reason', 'Reason: ' + reply.reason));
  const detail = reply.fullDetail !== undefined ? reply.fullDetail : reply.detail;
  if (detail !== undefined && detail !== null && detail !== '') {
    node.append(element('pre', 'detail', detail));
  }
  const questions = reply.questions || [];
  const actions = element('div', 'actions');
  if (questions.length > 0) {
    const pickers = questions.map((question, number) => picker(prompt.replyId, question, number));
    node.append(...pickers.map((entry) => entry.fieldset));
    actions.append(button('Send answers', 'send', () => {
      const answers = {};
      for (const entry of pickers) answers[entry.question.text] = entry.chosen();
      return { decision: 'option', answers };
    }));
  } else {
    for (const option of reply.options || []) {
      const choice = button(option.label, 'option', () => ({ decision: 'option', optionId: option.id }));
      if (option.description) choice.title = option.description;
      actions.append(choice);
    }
  }
  const grants = reply.grants || [];
  if (grants.includes('allow')) actions.append(button('Allow', 'allow', () => ({ decision: 'allow' })));
  // The rule the agent itself suggests keeping, in words from its suggestion.
  if (grants.includes('always')) {
    actions.append(button(reply.alwaysLabel || 'Always allow', 'always', () => ({ decision: 'always' })));
  }
  if (grants.includes('deny')) actions.append(button('Deny', 'deny', () => ({ decision: 'deny' })));
  if (grants.includes('cancel')) actions.append(button('Cancel', 'cancel', () => ({ decision: 'cancel' })));
  node.append(actions, element('div', 'status'));
  if (card.status) showStatus(card, card.status.kind, card.status.text);
}

function picker(replyId, question, number) {
  const fieldset = element('fieldset', 'picker');
  fieldset.append(element('legend', '', question.header || question.text));
  if (question.header) fieldset.append(element('div', 'question-text', question.text));
  const name = replyId + '-' + number;
  const inputs = [];
  for (const option of question.options || []) {
    const label = element('label');
    const input = element('input');
    input.type = question.allowsMultiple ? 'checkbox' : 'radio';
    input.name = name;
    input.value = option.label;
    inputs.push(input);
    const text = element('span', '', option.label);
    if (option.description) text.append(element('span', 'description', option.description));
    label.append(input, text);
    fieldset.append(label);
  }
  return {
    fieldset, question,
    chosen: () => inputs.filter((input) => input.checked).map((input) => input.value),
  };
}

function button(label, className, makeAnswer) {
  const node = element('button', className, label);
  node.type = 'button';
  node.addEventListener('click', (event) => answer(event, makeAnswer));
  return node;
}

async function answer(event, makeAnswer) {
  const node = event.currentTarget.closest('.prompt');
  const replyId = node && node.dataset.replyId;
  const card = replyId && cards.get(replyId);
  if (!card || card.overAt !== undefined || card.status) return;
  if (document.body.dataset.connection !== 'live') return;
  if (performance.now() - card.shownAt < settleMilliseconds) {
    showStatus(card, 'settling', 'This prompt just appeared or changed: look again, then click.');
    card.status = null;
    setTimeout(() => {
      const node = card.element.querySelector('.status.settling');
      if (node) { node.className = 'status'; node.textContent = ''; }
    }, 2 * settleMilliseconds);
    return;
  }
  showStatus(card, 'sending', 'Sending…');
  for (const control of card.element.querySelectorAll('button, input')) control.disabled = true;
  let kind = 'failed';
  let text = 'Not delivered';
  const sent = makeAnswer();
  try {
    const response = await api('/v1/prompts/' + encodeURIComponent(replyId) + '?from=web', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(sent),
    });
    if (response.ok) {
      kind = 'delivered'; text = outcome(card.prompt, sent);
    } else if (response.status === 409) {
      kind = 'elsewhere'; text = 'Answered elsewhere (or its agent stopped waiting)';
    } else {
      const body = await response.json().catch(() => ({}));
      text = 'Not delivered: ' + (body.error || response.status);
    }
  } catch (error) {
    text = 'Not delivered: the service cannot be reached';
  }
  showStatus(card, kind, text);
  if (kind === 'failed' && card.overAt === undefined) {
    card.status = null;
    for (const control of card.element.querySelectorAll('button, input')) control.disabled = false;
  }
  render();
}

// What was decided, in the words of the buttons: "Allowed", "Denied", the option chosen.
function outcome(prompt, sent) {
  if (sent.decision === 'allow') return 'Allowed';
  if (sent.decision === 'always') return 'Always allowed';
  if (sent.decision === 'deny') return 'Denied';
  if (sent.decision === 'cancel') return 'Cancelled';
  const options = (prompt && prompt.pendingReply && prompt.pendingReply.options) || [];
  const chosen = options.find((option) => option.id === sent.optionId);
  if (chosen) return 'Chose: ' + chosen.label;
  const answers = Object.values(sent.answers || {}).flat();
  return answers.length ? 'Answered: ' + answers.join(', ') : 'Answered';
}

function showStatus(card, kind, text) {
  card.status = { kind, text };
  const node = card.element.querySelector('.status');
  node.className = 'status ' + kind;
  node.textContent = text;
}

function updateRemaining(now) {
  const wall = Date.now();
  for (const card of cards.values()) {
    const node = card.element.querySelector('.remaining');
    if (!node || !card.prompt) continue;
    if (card.overAt !== undefined) { node.textContent = ''; continue; }
    const left = Date.parse(card.prompt.expiresAt) - wall;
    node.textContent = Number.isNaN(left) ? '' : duration(left) + ' left';
  }
  void now;
}

// --- Sessions -------------------------------------------------------------------------------

// The sessions that wait for a person, as every surface counts them: those with a prompt live
// here, and those whose agent asks in its own dialog (no hook waits here for its answer).
function waitingSessions() {
  const waiting = new Set(state.prompts.map((prompt) => prompt.sessionId));
  for (const session of state.sessions.values()) {
    if (session.state === 'waitingForUser') waiting.add(session.id);
  }
  return waiting;
}

function renderSessions() {
  const list = document.getElementById('sessions');
  const waiting = waitingSessions();
  const live = new Set(state.prompts.map((prompt) => prompt.sessionId));
  const children = new Map();
  const roots = [];
  for (const id of state.order) {
    const session = state.sessions.get(id);
    if (!session) continue;
    const parent = session.parentSessionId;
    if (parent && state.sessions.has(parent) && parent !== id) {
      if (!children.has(parent)) children.set(parent, []);
      children.get(parent).push(session);
    } else {
      roots.push(session);
    }
  }
  const seen = new Set();
  const item = (session) => {
    seen.add(session.id);
    const node = element('li', 'session');
    node.dataset.sessionId = session.id;
    const top = element('div', 'top');
    // A session whose prompt ended shows how, until its next event.
    const ended = !waiting.has(session.id) && state.sessionOutcomes[session.id];
    const stateBadge = ended
      ? element('span', 'badge state-ended', outcomeName(ended.outcome, ended.by))
      : waiting.has(session.id) && !live.has(session.id)
      ? element('span', 'badge state-' + session.state, 'Answer in ' + agentName(session.provider))
      : element('span', 'badge state-' + session.state, stateName(session.state));
    const elapsed = element('span', 'elapsed');
    elapsed.dataset.startedAt = session.startedAt;
    if (session.completedAt) elapsed.dataset.completedAt = session.completedAt;
    top.append(element('span', 'badge', agentName(session.provider)),
               element('span', 'badge', session.projectName || ''),
               element('span', 'task', session.task), stateBadge, elapsed);
    node.append(top, element('div', 'activity', session.currentActivity));
    const below = (children.get(session.id) || []).filter((child) => !seen.has(child.id));
    if (below.length > 0) {
      const sub = element('ul');
      sub.append(...below.map(item));
      node.append(sub);
    }
    return node;
  };
  list.replaceChildren(...roots.map(item));
  document.getElementById('no-sessions').hidden = roots.length > 0;
  const finished = [...state.sessions.values()].some((session) =>
    ['idle', 'completed', 'failed'].includes(session.state));
  document.getElementById('clear-finished').hidden = !finished;
  updateElapsed();
}

// The last answers, newest first: when, the outcome, whose, and what was asked.
function renderAnswers() {
  const list = document.getElementById('answers');
  list.replaceChildren(...state.recentAnswers.map((answer) => {
    const node = element('li', 'answer');
    const at = new Date(answer.endedAt);
    node.append(element('span', 'when', Number.isNaN(at.getTime()) ? '' : at.toLocaleTimeString()),
                element('span', 'badge state-ended', outcomeName(answer.outcome, answer.by)),
                element('span', 'badge', agentName(answer.agent)),
                element('span', 'badge', answer.project || ''),
                element('span', 'task', answer.prompt + (answer.detail
                  ? ' ' + answer.detail.split('\n')[0] : '')));
    return node;
  }));
  document.getElementById('answers-section').hidden = state.recentAnswers.length === 0;
}

function updateElapsed() {
  const wall = Date.now();
  for (const node of document.querySelectorAll('.elapsed')) {
    const end = node.dataset.completedAt ? Date.parse(node.dataset.completedAt) : wall;
    node.textContent = duration(end - Date.parse(node.dataset.startedAt));
  }
}

function render() {
  const now = performance.now();
  renderPrompts(now);
  renderSessions();
  renderAnswers();
  // The count every surface shows.
  const waiting = waitingSessions().size;
  document.getElementById('counts').textContent =
    (waiting ? waiting + ' waiting · ' : '') + state.sessions.size +
    (state.sessions.size === 1 ? ' session' : ' sessions');
  document.title = (waiting ? '(' + waiting + ') ' : '') + 'Tarvel';
}

setInterval(() => {
  const now = performance.now();
  updateRemaining(now);
  updateElapsed();
  // Answered prompts leave once their result has been shown long enough.
  for (const card of cards.values()) {
    if (card.overAt !== undefined && now - card.overAt > resultMilliseconds) { render(); break; }
  }
}, 1000);

// As the terminal display's c: every session that is no longer active goes from the list.
document.getElementById('clear-finished').addEventListener('click', async (event) => {
  const control = event.currentTarget;
  control.disabled = true;
  try {
    await api('/v1/sessions/clear-finished', { method: 'POST' });
  } finally {
    control.disabled = false;
  }
});

takeAddress();
connect();
