#include "WebApp.hpp"

#include "JsonSchema.hpp"

#include <nlohmann/json.hpp>

namespace vhbr::dev {
using nlohmann::json;

namespace {

// One page for every route; the script decides what to show from the path. It is also the web
// side of the desktop bridge: window.__vhbrShell for the app to call, and messages posted to the
// "vhbrShell" handler when the page runs inside the app's web view.
constexpr const char* kPage = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Velvetharbor</title>
<style>
  body { font: 15px system-ui, sans-serif; margin: 2em auto; max-width: 46em; padding: 0 1em; color: #222; }
  header { display: flex; justify-content: space-between; align-items: baseline; border-bottom: 1px solid #ddd; }
  table { border-collapse: collapse; width: 100%; } td, th { text-align: left; padding: .3em .5em; border-bottom: 1px solid #eee; }
  button { font: inherit; padding: .3em 1em; margin-right: .5em; } .error { color: #b00; } .muted { color: #777; }
</style>
</head>
<body>
<header><h1><a href="/app">Velvetharbor</a></h1><span id="who"></span></header>
<main id="main"></main>
<script>
(function () {
  'use strict';
  const KEY = 'vhbr.token';
  const main = document.getElementById('main');
  const shell = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.vhbrShell;
  let user = null;
  let known = null;  // task id -> status, as last seen

  function post(message) { if (shell) { try { shell.postMessage(message); } catch (e) {} } }
  function reportAuth() {
    post(user ? {type: 'authState', signedIn: true, uid: user.uid, email: user.email} : {type: 'authState', signedIn: false});
  }
  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) { if (k === 'onclick') e.onclick = v; else e.setAttribute(k, v); }
    for (const c of children) e.append(c);
    return e;
  }
  async function call(method, path, body, token) {
    token = token || localStorage.getItem(KEY);
    const headers = {'Accept': 'application/json'};
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    if (token) headers['Authorization'] = 'Bearer ' + token;
    const r = await fetch(path, {method, headers, body: body === undefined ? undefined : JSON.stringify(body)});
    const data = await r.json().catch(() => ({}));
    if (!r.ok) { const e = new Error(data.message || data.error || ('status ' + r.status)); e.status = r.status; throw e; }
    return data;
  }
  async function adopt(token) {
    const me = await call('GET', '/app-api/me', undefined, token);
    localStorage.setItem(KEY, token);
    const changed = !user || user.uid !== me.uid;
    user = me;
    if (changed) { known = null; reportAuth(); }
    render();
  }
  function signOut() {
    localStorage.removeItem(KEY);
    user = null; known = null;
    reportAuth(); render();
  }

  const ready = (async () => {
    const token = localStorage.getItem(KEY);
    if (token) { try { user = await call('GET', '/app-api/me', undefined, token); } catch (e) { localStorage.removeItem(KEY); } }
    reportAuth(); render();
  })();

  window.__vhbrShell = {
    async signInWithToken(token) {
      if (typeof token !== 'string' || token === '') throw new Error('A sign-in token is required.');
      await ready;
      await adopt(token);
      return true;
    },
    async getIdToken() {
      await ready;
      return user ? localStorage.getItem(KEY) : null;
    }
  };

  function signInView(note) {
    const email = el('input', {type: 'email', placeholder: 'you@example.com', id: 'email'});
    const error = el('p', {class: 'error'});
    const form = el('form', {}, email, ' ', el('button', {type: 'submit'}, 'Sign in'), error);
    form.onsubmit = async (ev) => {
      ev.preventDefault();
      try { const r = await call('POST', '/app-api/sign-in', {email: email.value}); await adopt(r.token); }
      catch (e) { error.textContent = e.message; }
    };
    const parts = [el('h2', {}, 'Sign in'), note ? el('p', {}, note) : '', form];
    if (shell) parts.push(el('p', {}, el('button', {id: 'desktop-sign-in', onclick: () => post({type: 'startLogin'})},
                                           'Sign in with your browser')));
    main.replaceChildren(...parts);
  }
  function taskRow(t) {
    return el('tr', {}, el('td', {}, el('a', {href: '/app/task/' + encodeURIComponent(t.id)}, t.fileName)),
              el('td', {}, t.status), el('td', {class: 'muted'}, t.createdAt));
  }
  async function tasksView() {
    const tasks = await call('GET', '/app-api/tasks');
    main.replaceChildren(el('h2', {}, 'Tasks'), tasks.length
      ? el('table', {}, el('tr', {}, el('th', {}, 'File'), el('th', {}, 'Status'), el('th', {}, 'Created')), ...tasks.map(taskRow))
      : el('p', {class: 'muted'}, 'No tasks yet.'));
  }
  async function taskView(id) {
    const t = await call('GET', '/app-api/tasks/' + encodeURIComponent(id));
    main.replaceChildren(el('h2', {}, t.fileName),
      el('table', {}, ...[['Task', t.id], ['Status', t.status], ['Size', t.fileSize + ' bytes'], ['Intent', t.intent],
        ['Languages', t.sourceLanguage + ' → ' + t.targetLanguage], ['Created', t.createdAt]]
        .map(([k, v]) => el('tr', {}, el('th', {}, k), el('td', {id: 'task-' + k.toLowerCase()}, String(v))))),
      filesView(t), importView(),
      el('p', {}, el('a', {href: '/app'}, 'All tasks')));
  }
  // A file input, as the service's editor has: the page itself reads the file the user chose.
  function importView() {
    const input = el('input', {type: 'file', id: 'import-subtitles', 'aria-label': 'Import subtitles'});
    const result = el('p', {id: 'import-result'});
    input.onchange = async () => {
      const f = input.files[0];
      if (!f) return;
      try { result.textContent = 'Imported ' + f.name + ': ' + (await f.text()).split('\n')[0]; }
      catch (e) { result.textContent = 'Could not read ' + f.name; }
    };
    return el('div', {}, el('p', {}, input), result);
  }
  // What the user takes home from a task: served by /app-files (see TaskFiles.hpp).
  function filesView(t) {
    const dot = t.fileName.lastIndexOf('.');
    const stem = dot > 0 ? t.fileName.slice(0, dot) : t.fileName;
    const file = (name) => '/app-files/' + encodeURIComponent(t.id) + '/' + encodeURIComponent(name);
    const item = (...children) => el('li', {}, ...children);
    return el('section', {}, el('h3', {}, 'Files'), el('ul', {},
      item(el('a', {id: 'file-subtitles', href: file(stem + '.srt')}, 'Subtitles (' + stem + '.srt)')),
      item(el('a', {id: 'file-transcript', href: file(stem + '.transcript.txt')}, 'Read the transcript'), ' · ',
           el('a', {id: 'file-transcript-download', href: file(stem + '.transcript.txt'), download: ''}, 'Download the transcript')),
      item(el('a', {id: 'file-media', href: file(t.fileName)}, 'Original media (' + t.fileName + ')')),
      item(el('a', {id: 'file-video', href: file(stem + '.subtitled.mp4')}, 'Subtitled video (' + stem + '.subtitled.mp4, 24 MiB)'))));
  }
  function approvalView(nonce) {
    const result = el('p', {id: 'result'});
    const decide = (approve) => async () => {
      try { await call('POST', '/app-api/desktop-login/decide', {nonce, approve}); result.textContent = approve
        ? 'Approved. You can return to the Velvetharbor app.' : 'Rejected.'; buttons.remove(); }
      catch (e) { result.textContent = e.message; result.className = 'error'; }
    };
    const buttons = el('p', {}, el('button', {id: 'approve', onclick: decide(true)}, 'Approve'),
                       el('button', {id: 'reject', onclick: decide(false)}, 'Reject'));
    main.replaceChildren(el('h2', {}, 'Sign in to the desktop app?'),
      el('p', {}, 'The Velvetharbor desktop app asks to sign in as ' + user.email + '.'), buttons, result);
  }

  async function render() {
    document.getElementById('who').replaceChildren(user
      ? el('span', {}, user.email + ' ', el('button', {onclick: signOut}, 'Sign out')) : '');
    const path = location.pathname;
    const nonce = new URLSearchParams(location.search).get('nonce');
    if (!user) return signInView(path === '/desktop-login' ? 'Sign in to approve the desktop app.' : '');
    try {
      if (path === '/desktop-login') return nonce ? approvalView(nonce) : main.replaceChildren(el('p', {class: 'error'}, 'Missing sign-in request.'));
      if (path.startsWith('/app/task/')) return await taskView(decodeURIComponent(path.slice('/app/task/'.length)));
      await tasksView();
    } catch (e) {
      if (e.status === 401) return signOut();
      main.replaceChildren(el('p', {class: 'error'}, e.message));
    }
  }

  // Tasks made or changed elsewhere (by the desktop app, say) show up here and are reported.
  async function poll() {
    if (!user) return;
    try {
      const tasks = await call('GET', '/app-api/tasks');
      const next = new Map(tasks.map(t => [t.id, t.status]));
      let changed = known === null;
      if (known) {
        for (const t of tasks) {
          if (!known.has(t.id)) { post({type: 'taskCreated', id: t.id, status: t.status}); changed = true; }
          else if (known.get(t.id) !== t.status) { post({type: 'taskStatusChanged', id: t.id, status: t.status}); changed = true; }
        }
      }
      known = next;
      if (changed && location.pathname !== '/desktop-login') render();
    } catch (e) { if (e.status === 401) signOut(); }
  }
  ready.then(poll);
  setInterval(poll, 1500);

  // A page of another site inside the web app (?embed=URL), as an advertisement or a shared
  // player would be: the desktop app must not take it for the web app.
  const embed = new URLSearchParams(location.search).get('embed');
  if (embed) document.body.append(el('iframe', {src: embed, id: 'embedded', width: '600', height: '120'}));
})();
</script>
</body>
</html>
)HTML";

json taskSummary(const Task& t) {
    const json& media = t.request["media"];
    return {{"id", t.id},
            {"status", t.status},
            {"fileName", media["fileName"]},
            {"fileSize", media["fileSize"]},
            {"intent", t.request["intent"]},
            {"sourceLanguage", t.request["sourceLanguage"]},
            {"targetLanguage", t.request["targetLanguage"]},
            {"uploadComplete", t.uploadComplete},
            {"createdAt", t.createdAt}};
}

// A page of another site (the tests load it under another host name): it tries to speak for the
// web app through the desktop bridge, asks for the browser's own dialogs and shows a frame that
// wants a password.
constexpr const char* kElsewherePage = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Elsewhere</title></head>
<body>
<p id="probe">A page of another site</p>
<iframe src="/elsewhere/private" width="300" height="40"></iframe>
<script>
  const shell = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.vhbrShell;
  alert('A dialog of another site');
  const answer = confirm('Allow another site?');
  setInterval(() => { if (shell) shell.postMessage({type: 'authState', signedIn: true, uid: 'intruder'}); }, 200);
  document.getElementById('probe').textContent = 'Elsewhere ran; confirm answered ' + answer;
</script>
</body></html>
)HTML";

}  // namespace

void registerWebApp(httplib::Server& server, LoginStore& logins, TaskStore& tasks) {
    const auto page = [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(kPage, "text/html; charset=utf-8");
    };
    server.Get("/app", page);
    server.Get(R"(/app/task/.+)", page);
    server.Get("/desktop-login", page);
    server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/app"); });
    server.Get("/elsewhere/frame", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kElsewherePage, "text/html; charset=utf-8");
    });
    server.Get("/elsewhere/private", [](const httplib::Request&, httplib::Response& res) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"elsewhere\"");
        res.set_content("A password is needed.", "text/plain");
    });

    // Every /app-api call but sign-in needs the page's bearer token; errors are {"message"}.
    using Handler = std::function<json(const httplib::Request&, const User&)>;
    const auto guarded = [&logins](Handler fn) {
        return [&logins, fn](const httplib::Request& req, httplib::Response& res) {
            const std::string auth = req.get_header_value("Authorization");
            const auto user = auth.rfind("Bearer ", 0) == 0 ? logins.userForToken(auth.substr(7)) : std::nullopt;
            int status = 200;
            json body;
            if (!user) {
                status = 401;
                body = {{"error", "Sign in first."}};
            } else {
                try {
                    body = fn(req, *user);
                } catch (const HttpError& e) {
                    status = e.status;
                    body = {{"message", e.what()}};
                }
            }
            res.status = status;
            res.set_content(body.dump(), "application/json");
        };
    };
    server.Post("/app-api/sign-in", [&logins](const httplib::Request& req, httplib::Response& res) {
        const json body = json::parse(req.body, nullptr, false);
        const std::string email = body.is_object() && body.value("email", json()).is_string() ? body["email"] : "";
        const auto at = email.find('@');
        if (at == std::string::npos || at == 0 || at + 1 == email.size()) {
            res.status = 400;
            return res.set_content(json{{"message", "Enter an e-mail address."}}.dump(), "application/json");
        }
        const std::string token = logins.signIn(email);
        res.set_content(json{{"token", token}, {"email", email}}.dump(), "application/json");
    });
    server.Get("/app-api/me", guarded([](const httplib::Request&, const User& user) {
        return json{{"uid", user.uid}, {"email", user.email}};
    }));
    server.Get("/app-api/tasks", guarded([&tasks](const httplib::Request&, const User&) {
        json out = json::array();
        const auto all = tasks.tasks();
        for (auto it = all.rbegin(); it != all.rend(); ++it) out.push_back(taskSummary(*it));
        return out;
    }));
    server.Get(R"(/app-api/tasks/([^/]+))", guarded([&tasks](const httplib::Request& req, const User&) {
        const auto task = tasks.task(req.matches[1]);
        if (!task) throw HttpError(404, "No such task.");
        return taskSummary(*task);
    }));
    server.Post("/app-api/desktop-login/decide", guarded([&logins](const httplib::Request& req, const User& user) {
        const json body = json::parse(req.body, nullptr, false);
        checkObject(body, {{"nonce", Kind::String}, {"approve", Kind::Boolean}});
        const int status = logins.decide(body["nonce"], body["approve"], user);
        if (status == 404) throw HttpError(404, "This sign-in request does not exist.");
        if (status == 409) throw HttpError(409, "This sign-in request was already answered.");
        if (status == 410) throw HttpError(410, "This sign-in request expired.");
        return json{{"state", body["approve"].get<bool>() ? "approved" : "rejected"}};
    }));
}

}  // namespace vhbr::dev
