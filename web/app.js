// The Vorn console: talks to the management API of the server that serves this page.
// Text from the server is only ever put into the page as text, never as markup.
"use strict";

const PAGE_SIZE = 50;
const REFRESH_MS = 3000;
let token = sessionStorage.getItem("vorn-token") || "";
let current = "signin";
let refreshTimer = null;
const paging = { online: 0, users: 0 };

function $(id) { return document.getElementById(id); }

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "onclick") e.addEventListener("click", v);
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return e;
}

function toast(text, isError) {
  const t = $("toast");
  t.textContent = text;
  t.className = isError ? "error" : "";
  t.hidden = false;
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => { t.hidden = true; }, 4000);
}

async function api(method, path, body) {
  const opts = { method, headers: { Authorization: "Bearer " + token } };
  if (body !== undefined || method !== "GET") {
    opts.headers["Content-Type"] = "application/json";
    opts.body = JSON.stringify(body || {});
  }
  const res = await fetch(path, opts);
  if (res.status === 401) {
    signOut("The token was refused.");
    throw new Error("token refused");
  }
  const data = res.headers.get("Content-Type")?.includes("json") ? await res.json() : await res.text();
  if (!res.ok) throw new Error((data && data.error) || res.statusText);
  return data;
}

function signOut(message) {
  token = "";
  sessionStorage.removeItem("vorn-token");
  $("tabs").hidden = true;
  $("signout").hidden = true;
  $("server").textContent = "";
  show("signin");
  $("signin-error").textContent = message || "";
}

async function signIn(t) {
  token = t;
  try {
    const v = await api("GET", "/api/version");
    sessionStorage.setItem("vorn-token", token);
    $("server").textContent = `${v.server} ${v.version}`;
    $("tabs").hidden = false;
    $("signout").hidden = false;
    show("online");
  } catch (e) {
    if (token) signOut("Sign-in failed: " + e.message);
  }
}

function show(page) {
  current = page;
  for (const s of document.querySelectorAll(".page")) s.hidden = s.id !== "page-" + page;
  for (const b of document.querySelectorAll("#tabs button")) b.classList.toggle("active", b.dataset.page === page);
  clearInterval(refreshTimer);
  refreshTimer = null;
  if (page === "online") {
    loadOnline();
    refreshTimer = setInterval(loadOnline, REFRESH_MS);
  } else if (page === "users") loadUsers();
  else if (page === "lists" || page === "send") loadLists();
  else if (page === "activity") {
    loadActivity();
    refreshTimer = setInterval(loadActivity, REFRESH_MS);
  }
}

function pager(box, total, offset, onPage) {
  box.replaceChildren();
  if (total <= PAGE_SIZE) return;
  const prev = el("button", { class: "plain" }, "‹ Previous");
  const next = el("button", { class: "plain" }, "Next ›");
  prev.disabled = offset === 0;
  next.disabled = offset + PAGE_SIZE >= total;
  prev.addEventListener("click", () => onPage(Math.max(0, offset - PAGE_SIZE)));
  next.addEventListener("click", () => onPage(offset + PAGE_SIZE));
  box.append(prev, el("span", {}, `${offset + 1}–${Math.min(offset + PAGE_SIZE, total)} of ${total}`), next);
}

function duration(s) {
  if (s < 60) return s + " s";
  if (s < 3600) return Math.floor(s / 60) + " min";
  if (s < 86400) return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min";
  return Math.floor(s / 86400) + " d " + Math.floor((s % 86400) / 3600) + " h";
}

function emptyRow(cols, text) {
  return el("tr", { class: "empty" }, el("td", { colspan: cols }, text));
}

// ---- Online now ----
async function loadOnline() {
  const q = encodeURIComponent($("online-search").value.trim());
  let data;
  try {
    data = await api("GET", `/api/sessions?limit=${PAGE_SIZE}&offset=${paging.online}&q=${q}`);
  } catch (e) { return; }
  if (current !== "online") return;
  if (data.total > 0 && paging.online >= data.total) {
    paging.online = Math.floor((data.total - 1) / PAGE_SIZE) * PAGE_SIZE;
    return loadOnline();
  }
  $("online-count").textContent = `${data.total} signed on`;
  const rows = data.sessions.map((s) => {
    const end = el("button", { class: "danger", "data-uin": s.uin }, "End session");
    end.addEventListener("click", async () => {
      if (!confirm(`End the session of ${s.uin}?`)) return;
      try {
        await api("DELETE", `/api/sessions/${s.uin}`);
        toast(`Session of ${s.uin} ended`);
        loadOnline();
      } catch (e) { toast(e.message, true); }
    });
    return el("tr", { "data-uin": s.uin },
      el("td", {}, s.uin), el("td", {}, s.nick), el("td", {}, s.address), el("td", {}, s.status_name),
      el("td", { title: s.signed_on_at }, new Date(s.signed_on_unix * 1000).toLocaleString()),
      el("td", {}, duration(s.idle_seconds)), el("td", { class: "actions" }, end));
  });
  $("online-rows").replaceChildren(...(rows.length ? rows : [emptyRow(7, "Nobody is signed on.")]));
  pager($("online-pager"), data.total, paging.online, (o) => { paging.online = o; loadOnline(); });
}

// ---- Users ----
async function loadUsers() {
  const q = encodeURIComponent($("user-search").value.trim());
  let data;
  try {
    data = await api("GET", `/api/users?limit=${PAGE_SIZE}&offset=${paging.users}&q=${q}`);
  } catch (e) { return toast(e.message, true); }
  $("user-count").textContent = `${data.total} users`;
  const rows = data.users.map((u) => {
    const act = (label, cls, fn) => {
      const b = el("button", { class: cls }, label);
      b.addEventListener("click", async () => {
        try { await fn(); loadUsers(); } catch (e) { toast(e.message, true); }
      });
      return b;
    };
    const lock = u.locked
      ? act("Unlock", "plain", async () => { await api("POST", `/api/users/${u.uin}/unlock`); toast(`${u.uin} unlocked`); })
      : act("Lock", "plain", async () => { await api("POST", `/api/users/${u.uin}/lock`); toast(`${u.uin} locked`); });
    const reset = act("Reset password", "plain", async () => {
      const pw = prompt(`New password for ${u.uin} (1 to 19 characters)`);
      if (!pw) return;
      await api("PUT", `/api/users/${u.uin}/password`, { password: pw });
      toast(`Password of ${u.uin} changed`);
    });
    const del = act("Delete", "danger", async () => {
      if (!confirm(`Delete user ${u.uin} and all their files?`)) return;
      await api("DELETE", `/api/users/${u.uin}`);
      toast(`User ${u.uin} deleted`);
    });
    const state = el("span", { class: u.locked ? "badge locked" : "badge" }, u.locked ? "locked" : "active");
    return el("tr", { "data-uin": u.uin },
      el("td", {}, u.uin), el("td", {}, u.nick), el("td", {}, [u.first, u.last].filter(Boolean).join(" ")),
      el("td", {}, u.email), el("td", {}, state), el("td", { class: "actions" }, lock, reset, del));
  });
  $("user-rows").replaceChildren(...(rows.length ? rows : [emptyRow(6, "No users match.")]));
  pager($("user-pager"), data.total, paging.users, (o) => { paging.users = o; loadUsers(); });
}

async function createUser(ev) {
  ev.preventDefault();
  const f = new FormData(ev.target);
  const body = { uin: f.get("uin").trim(), password: f.get("password") };
  for (const k of ["nick", "first", "last", "email"]) if (f.get(k).trim()) body[k] = f.get(k).trim();
  try {
    await api("POST", "/api/users", body);
    toast(`User ${body.uin} created`);
    ev.target.reset();
    loadUsers();
  } catch (e) { toast(e.message, true); }
}

// ---- Send and Lists ----
async function loadLists() {
  let data;
  try { data = await api("GET", "/api/lists"); } catch (e) { return toast(e.message, true); }
  $("lists-info").textContent =
    `Everyone online: ${data.send_online || "off"} · every user: ${data.send_all || "off"} · chat mode ${data.chat ? "on" : "off"}`;
  const sel = $("send-list");
  sel.replaceChildren(...data.lists.map((l) => el("option", { value: l.list }, `${l.list} (${l.members.length} members)`)));
  const rows = data.lists.map((l) => {
    const edit = el("button", { class: "plain" }, "Change members");
    edit.addEventListener("click", async () => {
      const text = prompt(`Members of ${l.list}`, l.members.join(" "));
      if (text === null) return;
      try {
        await api("PUT", `/api/lists/${l.list}`, { members: text.split(/[\s,]+/).filter(Boolean) });
        toast(`List ${l.list} changed`);
        loadLists();
      } catch (e) { toast(e.message, true); }
    });
    const del = el("button", { class: "danger" }, "Delete");
    del.addEventListener("click", async () => {
      if (!confirm(`Delete list ${l.list}?`)) return;
      try { await api("DELETE", `/api/lists/${l.list}`); toast(`List ${l.list} deleted`); loadLists(); } catch (e) { toast(e.message, true); }
    });
    return el("tr", { "data-list": l.list }, el("td", {}, l.list), el("td", {}, l.members.join(", ") || "(no members)"),
      el("td", { class: "actions" }, edit, del));
  });
  $("list-rows").replaceChildren(...(rows.length ? rows : [emptyRow(3, "No broadcast lists.")]));
}

async function createList(ev) {
  ev.preventDefault();
  const f = new FormData(ev.target);
  try {
    await api("POST", "/api/lists", { list: f.get("list").trim(), members: f.get("members").split(/[\s,]+/).filter(Boolean) });
    toast(`List ${f.get("list")} created`);
    ev.target.reset();
    loadLists();
  } catch (e) { toast(e.message, true); }
}

function sendKind() { return document.querySelector("input[name=kind]:checked").value; }

function updateSendKind() {
  const kind = sendKind();
  $("send-to").hidden = kind !== "user";
  $("send-list").hidden = kind !== "list";
}

async function sendMessage(ev) {
  ev.preventDefault();
  const f = new FormData(ev.target);
  const kind = sendKind();
  const to = kind === "everyone" ? "everyone" : kind === "list" ? $("send-list").value : f.get("to").trim();
  try {
    const r = await api("POST", "/api/messages", { from: f.get("from").trim(), to, text: f.get("text") });
    toast(`Sent: ${r.delivered_online} online, ${r.stored_offline} stored offline` +
          (r.refused_offline ? `, ${r.refused_offline} refused` : ""));
  } catch (e) { toast(e.message, true); }
}

// ---- Activity ----
function drawChart(svg, points, label) {
  // The drawing is as wide as the box on screen, so it fills it without stretching the text.
  const W = Math.max(300, Math.round(svg.getBoundingClientRect().width) || 600), H = 160, L = 40, B = 20, T = 10;
  svg.setAttribute("viewBox", `0 0 ${W} ${H}`);
  const ns = "http://www.w3.org/2000/svg";
  const make = (tag, attrs) => {
    const e = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
    return e;
  };
  svg.replaceChildren();
  if (!points.length) return;
  const t0 = points[0].t, t1 = Math.max(points[points.length - 1].t, t0 + 1);
  const max = Math.max(1, ...points.map((p) => p.v));
  const x = (t) => L + ((t - t0) / (t1 - t0)) * (W - L - 10);
  const y = (v) => H - B - (v / max) * (H - B - T);
  svg.append(make("line", { x1: L, y1: H - B, x2: W - 10, y2: H - B }), make("line", { x1: L, y1: T, x2: L, y2: H - B }));
  const top = make("text", { x: 4, y: T + 8 });
  top.textContent = String(Math.round(max * 10) / 10);
  const zero = make("text", { x: 4, y: H - B });
  zero.textContent = "0";
  const start = make("text", { x: L, y: H - 4 });
  start.textContent = new Date(t0 * 1000).toLocaleTimeString();
  const end = make("text", { x: W - 10, y: H - 4, "text-anchor": "end" });
  end.textContent = new Date(t1 * 1000).toLocaleTimeString();
  svg.append(top, zero, start, end);
  svg.append(make("polyline", { points: points.map((p) => `${x(p.t).toFixed(1)},${y(p.v).toFixed(1)}`).join(" ") }));
  for (const p of points) {
    const c = make("circle", { cx: x(p.t).toFixed(1), cy: y(p.v).toFixed(1), r: 2.5, class: "point" });
    const title = make("title", {});
    title.textContent = `${new Date(p.t * 1000).toLocaleTimeString()}: ${Math.round(p.v * 10) / 10} ${label}`;
    c.append(title);
    svg.append(c);
  }
}

async function loadActivity() {
  let h, stats;
  try {
    [h, stats] = await Promise.all([api("GET", "/api/stats/history"), api("GET", "/api/stats")]);
  } catch (e) { return; }
  if (current !== "activity") return;
  const s = h.samples;
  const rate = [];
  for (let i = 1; i < s.length; i++) {
    const dt = s[i].time - s[i - 1].time;
    if (dt > 0) rate.push({ t: s[i].time, v: ((s[i].messages - s[i - 1].messages) * 60) / dt });
  }
  drawChart($("chart-messages"), rate, "messages per minute");
  drawChart($("chart-sessions"), s.map((p) => ({ t: p.time, v: p.sessions })), "sessions");
  const rows = [];
  const walk = (prefix, v) => {
    if (v && typeof v === "object") for (const [k, w] of Object.entries(v)) walk(prefix ? `${prefix} ${k}` : k, w);
    else rows.push(el("tr", {}, el("td", {}, prefix.replaceAll("_", " ")), el("td", {}, v)));
  };
  walk("", stats);
  $("stats-rows").replaceChildren(...rows);
}

// ---- wiring ----
function debounce(fn, ms) {
  let t;
  return () => { clearTimeout(t); t = setTimeout(fn, ms); };
}

$("signin-form").addEventListener("submit", (ev) => { ev.preventDefault(); signIn($("token").value.trim()); });
$("signout").addEventListener("click", () => signOut());
for (const b of document.querySelectorAll("#tabs button")) b.addEventListener("click", () => show(b.dataset.page));
$("online-search").addEventListener("input", debounce(() => { paging.online = 0; loadOnline(); }, 250));
$("user-search").addEventListener("input", debounce(() => { paging.users = 0; loadUsers(); }, 250));
$("user-form").addEventListener("submit", createUser);
$("list-form").addEventListener("submit", createList);
$("send-form").addEventListener("submit", sendMessage);
for (const r of document.querySelectorAll("input[name=kind]")) r.addEventListener("change", updateSendKind);
$("reload").addEventListener("click", async () => {
  try { await api("POST", "/api/reload"); toast("vorn.ini reloaded"); } catch (e) { toast(e.message, true); }
});
updateSendKind();
if (token) signIn(token);
