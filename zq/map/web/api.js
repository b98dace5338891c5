// The JSON API of the map program, as the page uses it (zq/README.md, "Map
// program HTTP API", documents every call for scripts too).

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function call(method, path, body, signal) {
  const opts = { method, headers: {}, signal, credentials: 'same-origin' };
  if (body !== undefined) {
    opts.headers['Content-Type'] = 'application/json';
    opts.body = JSON.stringify(body);
  }
  let r;
  try {
    r = await fetch(path, opts);
  } catch (e) {
    if (e.name === 'AbortError') throw e;
    throw new ApiError(0, 'the map program does not answer');
  }
  let data = null;
  try {
    data = await r.json();
  } catch {
    data = null;
  }
  if (!r.ok) throw new ApiError(r.status, (data && data.error) || `HTTP ${r.status}`);
  return data;
}

export const api = {
  maps: () => call('GET', '/api/maps'),
  openMap: (id) => call('POST', `/api/maps/${id}/open`, {}),   // the applications' map
  createMap: (name, filter, readOnly) => call('POST', '/api/maps', { name, filter, read_only: readOnly }),
  renameMap: (id, name) => call('POST', `/api/maps/${id}/rename`, { name }),
  setMapReadOnly: (id, readOnly) => call('POST', `/api/maps/${id}/read_only`, { read_only: readOnly }),
  deleteMap: (id) => call('POST', `/api/maps/${id}/delete`, {}),
  symbols: (id, signal) => call('GET', `/api/maps/${id}/symbols`, undefined, signal),   // id: a number or 'open'
  // lists: the number of the application and map lists the page has (the
  // answer comes at once when it moved).
  changes: (id, since, signal, timeout, lists) =>
    call('GET', `/api/maps/${id}/changes?since=${since}${timeout === undefined ? '' : '&timeout=' + timeout}` +
      `${lists === undefined ? '' : '&lists=' + lists}`, undefined, signal),
  positions: (id, positions) => call('POST', `/api/maps/${id}/positions`, { positions }),
  manage: (symbols, managed) => call('POST', '/api/symbols/manage', { symbols, managed }),
  deleteObjects: (objects) => call('POST', '/api/objects/delete', { objects }),
  object: (id) => call('GET', `/api/objects/${id}`),
  apps: () => call('GET', '/api/apps'),
  restart: (app, force = false) => call('POST', '/api/apps/restart', force ? { app, force } : { app }),
  action: (app, action, objects) => call('POST', '/api/actions', { app, action, objects }),
  actionFit: (objects) => call('POST', '/api/actions/fit', { objects }),
  config: (app) => call('GET', `/api/apps/config?app=${encodeURIComponent(app)}`),
  verifyConfig: (app, values) => call('POST', '/api/apps/config/verify', { app, values }),
  confirmConfig: (app, values) => call('POST', '/api/apps/config/confirm', { app, values }),
};

// Keeps a model in step with a map: a snapshot, then long polls for changes.
// onUpdate(kind) runs after each applied reply ('full' or 'changes');
// onLive(bool) reports whether the connection works; onOpen(0) when the map
// shown is gone; onLists() when the application or map list changed (each
// answer carries the lists' number).  A page stays on its map when the applications' map changes.
export class LiveMap {
  constructor(model, hooks) {
    this.model = model;
    this.hooks = hooks;
    this.map = 0;
    this.seq = 0;
    this.abort = null;
    this.generation = 0;
    this.lists = undefined;
  }

  // The lists' number of an answer: a new one asks for the lists again.
  noteLists(n) {
    if (n === undefined || n === this.lists) return;
    const first = this.lists === undefined;
    this.lists = n;
    if (!first && this.hooks.onLists) this.hooks.onLists();
  }

  // map: an id, or 'open' for the map open in the map program (this.map is
  // then its id once the snapshot came).
  async start(map) {
    this.stop();
    const gen = ++this.generation;
    this.map = map;
    this.abort = new AbortController();
    const signal = this.abort.signal;
    let delay = 500;
    while (gen === this.generation) {
      try {
        const snap = await api.symbols(map, signal);
        if (gen !== this.generation) return;
        performance.mark('zq-snapshot');
        this.map = snap.map;
        this.seq = snap.seq;
        this.noteLists(snap.lists);
        this.model.load(snap.symbols);
        performance.mark('zq-model');
        this.hooks.onUpdate('full', snap);
        this.hooks.onLive(true);
        break;
      } catch (e) {
        if (e.name === 'AbortError' || gen !== this.generation) return;
        if (e.status === 404 && map !== 'open') {
          // The map chosen is gone: show the applications' map.
          this.hooks.onOpen(0);
          return;
        }
        this.hooks.onLive(false, e.message, e.status);
        // A refused password stays refused: no retries until the page signs in again.
        if (e.status === 401) return;
        await sleep(delay);
        delay = Math.min(5000, delay * 2);
      }
    }
    this.poll(gen, signal);
  }

  stop() {
    this.generation++;
    if (this.abort) this.abort.abort();
    this.abort = null;
  }

  async poll(gen, signal) {
    let delay = 500;
    let failedAt = 0;
    while (gen === this.generation) {
      try {
        // After a failure the first request answers at once: a waiting long
        // poll would not tell that the map program is back.
        const r = await api.changes(this.map, this.seq, signal, failedAt ? 0 : undefined, this.lists);
        if (gen !== this.generation) return;
        delay = 500;
        this.hooks.onLive(true);
        // After a long gap (the map program restarted, perhaps with another
        // database) the page starts over from a snapshot.
        if (failedAt && Date.now() - failedAt >= 5000) {
          this.start(this.map);
          return;
        }
        failedAt = 0;
        this.seq = r.seq;
        this.noteLists(r.lists);
        if (r.full) {
          this.model.load(r.symbols);
          this.hooks.onUpdate('full', r);
        } else if (r.symbols.length || r.deleted.length) {
          this.model.apply(r.symbols, r.deleted);
          this.hooks.onUpdate('changes', r);
        }
      } catch (e) {
        if (e.name === 'AbortError' || gen !== this.generation) return;
        if (e.status === 404) {
          // The map is gone: show whatever map is open now.
          this.hooks.onOpen(0);
          return;
        }
        if (!failedAt) failedAt = Date.now();
        this.hooks.onLive(false, e.message, e.status);
        if (e.status === 401) return;
        await sleep(delay);
        delay = Math.min(5000, delay * 2);
      }
    }
  }
}

export function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}
