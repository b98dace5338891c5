// Contact with the map program.  After STALE_MS without an answer the page says
// so in a banner over the map ("No contact with the map program since
// HH:MM:SS - statuses may be out of date") and the hooks grey the map and the
// application states; an answer clears it.  A 401 means the password changed
// or is needed: retrying cannot help, so the banner asks to sign in again.

export const STALE_MS = 5000;

export class ContactWatch {
  constructor(banner, hooks) {
    this.banner = banner;          // the banner element
    this.hooks = hooks;            // onStale(bool), onSignIn()
    this.lastOk = Date.now();
    this.ok = true;
    this.stale = false;
    this.auth = false;
    this.timer = setInterval(() => this.check(), 500);
  }

  // Every answer (true) and every failure (false, with the HTTP status).
  report(ok, status = 0) {
    if (ok) {
      this.lastOk = Date.now();
      this.ok = true;
      this.auth = false;
    } else {
      this.ok = false;
      if (status === 401) this.auth = true;
    }
    this.check();
  }

  check() {
    const stale = this.auth || (!this.ok && Date.now() - this.lastOk >= STALE_MS);
    if (stale === this.stale && !stale) return;
    this.stale = stale;
    this.show();
    this.hooks.onStale(stale);
  }

  show() {
    const b = this.banner;
    if (!this.stale) { b.hidden = true; return; }
    const since = new Date(this.lastOk).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false });
    const text = document.createElement('span');
    b.replaceChildren(text);
    if (this.auth) {
      text.textContent = 'The map program asks for its password (it may have changed) - statuses may be out of date.';
      const again = document.createElement('button');
      again.type = 'button';
      again.className = 'small-btn';
      again.textContent = 'Sign in again';
      again.addEventListener('click', () => this.hooks.onSignIn());
      b.append(again);
    } else {
      text.textContent = `No contact with the map program since ${since} - statuses may be out of date`;
    }
    b.hidden = false;
  }
}
