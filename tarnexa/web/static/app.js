// The search page: every text from the server is set with textContent, never parsed as HTML.
"use strict";

const $ = (id) => document.getElementById(id);
const form = $("search"), qBox = $("q"), mBox = $("m"), list = $("suggestions");
const modeBox = $("mode"), whereBox = $("where"), sortBox = $("sort");
const PAGE = 10;  // hits a search asks for, and "more results" adds
// A server started with a token answers 401 without it: the page asks once, and keeps the token
// for this tab only (sessionStorage), never in the URL.
const TOKEN_KEY = "tarnexa-token";
let asking = null;  // the question being asked, shared by the requests that wait on it
function askToken(again) {
  if (!asking) {
    asking = Promise.resolve().then(() => {
      const t = window.prompt(again ? "That token is not this server's. The server's token:"
                                    : "This server wants its token:");
      if (t !== null && t.trim()) sessionStorage.setItem(TOKEN_KEY, t.trim());
      return t !== null && t.trim() !== "";
    }).finally(() => { asking = null; });
  }
  return asking;
}
async function fetchWithToken(url) {
  for (let tries = 0; ; tries++) {
    const token = sessionStorage.getItem(TOKEN_KEY);
    const headers = {Accept: "application/json"};
    if (token) headers.Authorization = "Bearer " + token;
    const resp = await fetch(url, {headers});
    if (resp.status !== 401 || tries >= 3) return resp;
    if (sessionStorage.getItem(TOKEN_KEY) !== token) continue;  // another request was given one meanwhile
    if (!(await askToken(token !== null))) return resp;
  }
}

let TOKENS = [];  // [text inserted, hint], from the server's /api/modifiers
getJSON("/api/modifiers").then((known) => {
  // "from: TEXT to: TEXT" inserts "from:  to: ", "limit:N" inserts "limit:"
  TOKENS = known.map((v) => [v.usage.replace(/[A-Z]+(,[A-Z]+)*/g, ""), v.help]);
  mBox.placeholder = known.map((v) => v.usage).join("  ");
}).catch(() => {});
const PARTS = [  // the additive parts of a ranked score, then those of a diverse pick
  ["similarity", "similarity"], ["trajectory", "trajectory"], ["decay", "recency decay"],
  ["penalty", "unlike penalty"], ["relevance", "relevance"], ["redundancy", "redundancy"],
];
const SHARES = [["semantic_share", "meaning's share"], ["keyword_share", "words' share"],
                ["relevance", "relevance"], ["redundancy", "redundancy"]];
let current = null;  // {q, m, explain, data}
const opened = new Set();  // ids whose explanation is shown

function show(el, on) { el.hidden = !on; }
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function day(ts) { return ts == null ? "" : new Date(ts * 1000).toISOString().slice(0, 10); }

async function getJSON(url) {
  const resp = await fetchWithToken(url);
  let body = null;
  try { body = await resp.json(); } catch (e) { body = null; }
  if (!resp.ok) throw new Error((body && body.error) || `the server answered ${resp.status}`);
  return body;
}

// ---- the search and the URL that holds it

function searchFromURL() {
  const p = new URLSearchParams(location.search);
  return {q: p.get("q") || "", m: p.get("m") || "", explain: p.get("explain") === "1",
          mode: p.get("mode") || "", where: p.get("where") || "", sort: p.get("sort") || ""};
}

function urlOf(s) {
  const p = new URLSearchParams({q: s.q});
  if (s.m) p.set("m", s.m);
  if (s.explain) p.set("explain", "1");
  if (s.mode && s.mode !== "hybrid") p.set("mode", s.mode);
  if (s.where) p.set("where", s.where);
  if (s.sort === "date") p.set("sort", "date");
  return p.toString();
}
// The request of a search: its URL's, with the page of hits asked and the facets.
function apiOf(s, offset) {
  return "/api/search?" + urlOf(s) + `&limit=${PAGE}&offset=${offset}` + (offset ? "" : "&facets=1");
}

async function search(s, how) {  // how: "push", "replace" or "none" (history)
  qBox.value = s.q; mBox.value = s.m; modeBox.value = s.mode || "hybrid"; whereBox.value = s.where || "";
  sortBox.value = s.sort || "relevance";
  closeSuggestions();
  if (!s.q.trim()) { return; }
  if (how === "push" && location.search !== "?" + urlOf(s)) history.pushState(null, "", "?" + urlOf(s));
  else if (how === "replace") history.replaceState(null, "", "?" + urlOf(s));
  $("status").textContent = "Searching…";
  show($("error"), false);
  try {
    const data = await getJSON(apiOf(s, 0));
    current = {...s, data};
    render();
  } catch (e) {
    current = null;
    $("results").replaceChildren();
    show($("notes"), false);
    show($("more"), false);
    show($("facets"), false);
    $("status").textContent = "";
    $("error").textContent = e.message;
    show($("error"), true);
  }
}

function submitted(extra) {
  return {q: qBox.value, m: mBox.value, mode: modeBox.value, where: whereBox.value, sort: sortBox.value,
          explain: current ? current.explain : false, ...extra};
}

// "more results": the next page of the same search, added below (the URL keeps the search).
async function more() {
  const button = $("more");
  button.disabled = true;
  try {
    const next = await getJSON(apiOf(current, current.data.hits.length));
    const seen = new Set(current.data.hits.map((h) => h.id));
    const fresh = next.hits.filter((h) => !seen.has(h.id));
    current.data.hits.push(...fresh);
    fresh.forEach((h) => $("results").append(hitCard(h)));
    const n = current.data.hits.length;
    $("status").textContent = `${n} hit${n === 1 ? "" : "s"}`;
    show(button, next.hits.length >= PAGE);
  } catch (e) {
    $("error").textContent = e.message;
    show($("error"), true);
  } finally {
    button.disabled = false;
  }
}

// A filter added to the filter box's (joined by AND), and the search made again from the top.
function narrow(filter) {
  const now = whereBox.value.trim();
  if (now.startsWith("{")) { $("error").textContent = "The filter box holds JSON: add " + filter + " to it by hand."; show($("error"), true); return; }
  search(submitted({where: now ? now + " AND " + filter : filter}), "push");
}

function renderFacets(f) {
  const box = $("facets");
  box.replaceChildren();
  const groups = [["folder", "Folder", (v) => v || "(top)"], ["ext", "Type", (v) => v]];
  for (const [key, head, label] of groups) {
    const values = (f && f[key]) || [];
    if (values.length < 2) continue;  // one value narrows nothing
    const ul = el("ul");
    for (const v of values) {
      const b = el("button", "", label(v.value));
      b.type = "button";
      b.title = "filter: " + v.filter;
      b.addEventListener("click", () => narrow(v.filter));
      const li = el("li");
      li.append(b, el("small", "", String(v.count)));
      ul.append(li);
    }
    box.append(el("h2", "", head), ul);
  }
  if (box.children.length) box.append(el("small", "", `of the best ${f.pool} hits`));
  show(box, box.children.length > 0);
}

// ---- results

function render() {
  const {data} = current;
  const notes = $("notes");
  notes.replaceChildren(...data.notes.map((n) => el("li", "", n)));
  show(notes, data.notes.length > 0);
  const n = data.hits.length;
  $("status").textContent = n ? `${n} hit${n === 1 ? "" : "s"}` : "No hits.";
  const out = $("results");
  out.replaceChildren();
  renderFacets(data.facets);
  show($("more"), !data.communities.length && n >= PAGE);
  if (!data.communities.length) {
    data.hits.forEach((h) => out.append(hitCard(h)));
    return;
  }
  const groups = new Map();  // community -> its hits, in order of their best hit
  for (const h of data.hits) {
    const key = h.community == null ? -1 : h.community;
    if (!groups.has(key)) groups.set(key, []);
    groups.get(key).push(h);
  }
  for (const [key, hits] of groups) {
    const c = data.communities[key];
    const section = el("section", "community");
    const head = el("h2");
    head.append(el("span", "label", c ? c.label : "Outside the pool's communities"));
    if (c) head.append(" ", el("small", "", `${c.size} in the pool, ${hits.length} ranked`));
    section.append(head, ...hits.map(hitCard));
    out.append(section);
  }
  const rest = data.communities.filter((c, i) => !groups.has(i)).map((c) => `${c.label} (${c.size})`);
  if (rest.length) out.append(el("p", "rest", "Also in the pool, without a ranked hit: " + rest.join(", ")));
}

// The snippet with the words the keyword side looked for in <mark> (offsets count code points).
function markWords(node, text, spans) {
  const chars = Array.from(text);
  let at = 0;
  node.textContent = "";
  for (const [a, b] of spans) {
    if (a < at || b > chars.length) continue;
    node.append(chars.slice(at, a).join(""), el("mark", "", chars.slice(a, b).join("")));
    at = b;
  }
  node.append(chars.slice(at).join(""));
}

function hitCard(h) {
  const card = $("hit").content.firstElementChild.cloneNode(true);
  card.dataset.id = h.id;
  const page = h.metadata && Number.isInteger(h.metadata.page) ? " (p. " + h.metadata.page + ")" : "";
  card.querySelector(".title").textContent = (h.title || h.id) + page;  // a PDF's passage: its page
  card.querySelector(".id").textContent = h.id;
  const by = (h.sides || []).map((x) => (x === "keyword" ? "words" : "meaning")).join(" + ");
  card.querySelector(".score").textContent = "score " + h.score.toFixed(4) + (by ? " · " + by : "");
  card.querySelector(".date").textContent = day(h.timestamp);
  markWords(card.querySelector(".snippet"), h.snippet, h.highlights || []);
  card.querySelector(".more").addEventListener("click", () => search(submitted({m: withLike(mBox.value, h.id)}), "push"));
  const why = card.querySelector(".why"), chart = card.querySelector(".chart");
  why.addEventListener("click", () => toggleExplanation(h, why, chart));
  if (opened.has(h.id) && h.explanation) { drawChart(chart, h); show(chart, true); why.setAttribute("aria-expanded", "true"); }
  const full = card.querySelector(".full"), text = card.querySelector(".text");
  full.addEventListener("click", () => toggleText(h.id, full, text));
  // Where the hit comes from: its file and section, a link to the document (opened here, so
  // that a token the page holds goes with it; opened elsewhere, the API's JSON).
  const where = card.querySelector(".where"), path = h.metadata && h.metadata.path;
  if (typeof path === "string") {
    where.textContent = path + (h.title ? " \u203a " + h.title : "");
    where.href = "/api/doc/" + encodeURIComponent(h.id);
    where.addEventListener("click", (ev) => {
      if (ev.button !== 0 || ev.ctrlKey || ev.metaKey || ev.shiftKey) return;
      ev.preventDefault();
      toggleText(h.id, full, text);
    });
  } else {
    show(where.parentElement, false);
  }
  return card;
}

// An id as a like: token holds it: in double quotes (a quote inside doubled) when it holds white
// space, a comma or a quote, which the bare form cannot carry.
function likeId(id) { return /[\s,"]/u.test(id) ? '"' + id.replaceAll('"', '""') + '"' : id; }
// The ids of a like: token, bare or quoted.
function likeIds(word) {
  const rest = word.slice(5), ids = [];
  for (let i = 0; ;) {
    let id = "";
    if (rest[i] === '"') {
      for (i++; i < rest.length; i++) {
        if (rest[i] !== '"') id += rest[i];
        else if (rest[i + 1] === '"') { id += '"'; i++; } else { i++; break; }
      }
    } else {
      const comma = rest.indexOf(",", i);
      id = rest.slice(i, comma < 0 ? rest.length : comma);
      i = comma < 0 ? rest.length : comma;
    }
    ids.push(id);
    if (rest[i] !== ",") return ids;
    i++;
  }
}
// The words of a modifier line, a like: token of the quoted form whole (its ids may hold spaces).
function lineWords(line) {
  return line.match(/like:(?:"(?:[^"]|"")*"|[^\s,"]*)(?:,(?:"(?:[^"]|"")*"|[^\s,"]*))*(?=\s|$)|\S+/gu) || [];
}

function withLike(line, id) {
  const words = lineWords(line);
  const i = words.findIndex((w) => w.startsWith("like:"));
  if (i < 0) words.push("like:" + likeId(id));
  else if (!likeIds(words[i]).includes(id)) words[i] += (words[i].length > 5 ? "," : "") + likeId(id);
  return words.join(" ");
}

async function toggleExplanation(h, button, chart) {
  if (opened.has(h.id)) {
    opened.delete(h.id);
    show(chart, false);
    button.setAttribute("aria-expanded", "false");
    return;
  }
  opened.add(h.id);
  if (h.explanation) {
    drawChart(chart, h);
    show(chart, true);
    button.setAttribute("aria-expanded", "true");
  } else {  // the parts come with explain=1: search again with it (the URL keeps it)
    await search({...current, data: undefined, explain: true}, "push");
  }
}

function drawChart(chart, h) {
  const x = h.explanation;
  // A hybrid or keyword hit: the sides' shares (or its BM25 alone) make the score; the
  // semantic side's own parts are told beside them.
  const sided = x.keyword_rank != null || x.semantic_share != null;
  const rows = (sided ? SHARES : PARTS).filter(([k]) => x[k] != null && !Number.isNaN(x[k]));
  const values = rows.map(([k]) => x[k]).concat([h.score]);
  const lo = Math.min(0, ...values), hi = Math.max(0, ...values), span = hi - lo || 1;
  const zero = (-lo / span) * 100;
  chart.replaceChildren();
  const row = (label, v, cls, against) => {  // against: a part that counts against the score
    const track = el("div", "track"), bar = el("div", "bar" + (v < 0 || against ? " neg" : ""));
    bar.style.left = Math.min(zero, zero + (v / span) * 100) + "%";
    bar.style.width = Math.abs(v / span) * 100 + "%";
    const mark = el("div", "zero");
    mark.style.left = zero + "%";
    track.append(bar, mark);
    chart.append(el("span", cls || "", label), track, el("span", "value " + (cls || ""), v.toFixed(4)));
  };
  rows.forEach(([k, label]) => row(label, x[k], "", k === "redundancy"));
  row("score", h.score, "total");
  if (sided) {
    const parts = PARTS.slice(0, 4).filter(([k]) => x[k] != null && !Number.isNaN(x[k]))
      .map(([k, label]) => `${label} ${x[k].toFixed(4)}`).join(", ");
    if (x.dense_rank != null) chart.append(el("span", "aside", `meaning: rank ${x.dense_rank}, score ${x.dense_score.toFixed(4)}` + (parts ? ` (${parts})` : "")));
    if (x.keyword_rank != null) chart.append(el("span", "aside", `words: rank ${x.keyword_rank}, BM25 ${x.keyword_score.toFixed(4)}`));
  }
  if (x.decay_factor != null) chart.append(el("span", "aside", `recency multiplied the score by ${x.decay_factor.toFixed(3)}`));
  if (x.redundancy != null) chart.append(el("span", "aside", "a diverse pick: its score weighs relevance against redundancy with the hits above it"));
}

async function toggleText(id, button, pre) {
  if (!pre.hidden) { show(pre, false); button.setAttribute("aria-expanded", "false"); return; }
  try {
    const doc = await getJSON("/api/doc/" + encodeURIComponent(id));
    pre.textContent = doc.text;
  } catch (e) {
    pre.textContent = e.message;
  }
  show(pre, true);
  button.setAttribute("aria-expanded", "true");
}

// ---- modifier tokens offered as you type

let choices = [], chosen = -1;

function wordAtCaret() {
  const end = mBox.selectionStart ?? mBox.value.length;
  const start = mBox.value.lastIndexOf(" ", end - 1) + 1;
  return {start, end, word: mBox.value.slice(start, end)};
}

function offer() {
  const {word} = wordAtCaret();
  if (word.startsWith("like:") && current) {  // ids of the hits shown
    const ids = word.slice(5).split(","), last = ids.pop().toLowerCase();
    choices = current.data.hits.filter((h) => h.id.toLowerCase().startsWith(last) && !ids.includes(h.id))
      .slice(0, 8).map((h) => ["like:" + [...ids, likeId(h.id)].join(","), h.title || ""]);
  } else {
    choices = TOKENS.filter(([t]) => t.startsWith(word.toLowerCase()) && t !== word);
  }
  chosen = -1;
  list.replaceChildren(...choices.map(([t, hint], i) => {
    const li = el("li", "", "");
    li.id = "choice-" + i;
    li.setAttribute("role", "option");
    li.append(el("span", "", t.trim()), el("small", "", hint));
    li.addEventListener("mousedown", (ev) => { ev.preventDefault(); accept(i); });
    return li;
  }));
  show(list, choices.length > 0);
  mBox.setAttribute("aria-expanded", String(choices.length > 0));
}

function closeSuggestions() { choices = []; show(list, false); mBox.setAttribute("aria-expanded", "false"); }

function accept(i) {
  const {start, end} = wordAtCaret();
  const token = choices[i][0];
  const rest = mBox.value.slice(end);
  const spaced = token.endsWith(":") || token.endsWith(" ") ? token : token + " ";
  mBox.value = mBox.value.slice(0, start) + spaced + rest.replace(/^ /, "");
  const caret = start + (token.startsWith("from:") ? "from: ".length : spaced.length);
  mBox.setSelectionRange(caret, caret);
  mBox.focus();
  closeSuggestions();
}

function mark(i) {
  chosen = (i + choices.length) % choices.length;
  [...list.children].forEach((li, j) => li.setAttribute("aria-selected", String(j === chosen)));
  mBox.setAttribute("aria-activedescendant", "choice-" + chosen);
}

mBox.addEventListener("input", offer);
mBox.addEventListener("focus", offer);
mBox.addEventListener("blur", closeSuggestions);
mBox.addEventListener("keydown", (ev) => {
  if (list.hidden || !choices.length) return;
  if (ev.key === "ArrowDown") { mark(chosen + 1); ev.preventDefault(); }
  else if (ev.key === "ArrowUp") { mark(chosen - 1); ev.preventDefault(); }
  else if ((ev.key === "Enter" || ev.key === "Tab") && chosen >= 0) { accept(chosen); ev.preventDefault(); }
  else if (ev.key === "Escape") { closeSuggestions(); }
});

// ---- start

form.addEventListener("submit", (ev) => { ev.preventDefault(); search(submitted({}), "push"); });
$("more").addEventListener("click", more);
sortBox.addEventListener("change", () => { if (qBox.value.trim()) search(submitted({}), "push"); });
// The fields the documents hold, under the filter box: a click starts a filter on one.
getJSON("/api/fields").then(({fields}) => {
  const line = $("fields");
  if (!fields.length) return;
  line.append("Fields: ");
  fields.slice(0, 12).forEach(({field, documents}, i) => {
    const b = el("button", "", field);
    b.type = "button";
    b.title = `${documents.toLocaleString("en")} documents hold it`;
    b.addEventListener("click", () => {
      const now = whereBox.value.trim();
      whereBox.value = (now && !now.startsWith("{") ? now + " AND " : "") + field + (field === "date" ? ">=" : "=");
      whereBox.focus();
    });
    line.append(i ? ", " : "", b, el("small", "", ` (${documents.toLocaleString("en")})`));
  });
  const names = fields.map((f) => f.field);
  const examples = [names.includes("ext") ? "ext=md" : `${names[0]}=…`,
                    names.includes("path") ? "path!:docs/changes/*" : "",
                    names.includes("date") ? "date>=2024-01-01" : ""].filter(Boolean);
  whereBox.placeholder = examples.join(" AND ");
}).catch(() => {});
window.addEventListener("popstate", () => search(searchFromURL(), "none"));
getJSON("/api/info").then((i) => {
  const dates = i.first != null ? ` · ${day(i.first)} to ${day(i.last)}` : "";
  $("info").textContent = `${i.documents.toLocaleString("en")} documents · ${i.dims} dimensions · ${i.embedder} embedder${dates}`;
}).catch(() => {});
if (location.search) search(searchFromURL(), "none");
