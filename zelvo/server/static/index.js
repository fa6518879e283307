// The index page: every registered pipeline by its notebook, with its counts per status, kept
// up to date by asking the list again every few seconds; each row opens the live drawing.
// Notebook paths and kernel ids come from clients: they reach the page as text and, in
// addresses, quoted segment by segment.
import { readable, statusLabel } from "./pipeline.js";

const POLL_MS = 3000;
const body = document.body;
const baseUrl = body.dataset.baseUrl;
const notebookRoute = body.dataset.notebookRoute;
const PROTOCOL = JSON.parse(document.getElementById("protocol").textContent);
const notice = document.getElementById("notice");
const live = document.getElementById("live");
const table = document.getElementById("pipelines");
const rows = table.querySelector("tbody");
// kernel id -> {row, key}: a row is rebuilt only when its entry changed.
const shown = new Map();

// Each segment quoted; none for a path with dot segments, which a browser would resolve.
function quotePath(path) {
  const segments = path.split("/");
  if (segments.some((segment) => ["", ".", ".."].includes(segment))) return null;
  return segments.map(encodeURIComponent).join("/");
}

function link(href, text, cls = "") {
  const a = document.createElement("a");
  a.href = href;
  a.textContent = text;
  if (cls) a.className = cls;
  return a;
}

function cell(...content) {
  const td = document.createElement("td");
  td.append(...content);
  return td;
}

function counts(entry) {
  const list = document.createElement("ul");
  list.className = "counts";
  const statuses = entry.statuses && typeof entry.statuses === "object" ? entry.statuses : {};
  for (const [status] of PROTOCOL.statuses) {
    const n = statuses[status];
    if (!Number.isInteger(n) || n === 0) continue;
    const item = document.createElement("li");
    item.className = `status-${status}`;
    const glyph = document.createElement("span");
    glyph.className = "glyph";
    glyph.setAttribute("aria-hidden", "true");
    glyph.textContent = (PROTOCOL.glyphs && PROTOCOL.glyphs[status]) || "";
    item.append(glyph, `${n} ${statusLabel(PROTOCOL, status)}`);
    list.appendChild(item);
  }
  return list;
}

function rowOf(entry) {
  const view = `${baseUrl}zelvo/kernels/${encodeURIComponent(entry.kernel_id)}/view`;
  const path = typeof entry.notebook === "string" && entry.notebook ? entry.notebook : null;
  const name = cell(link(view, path || "(no notebook)", "open-view"));
  const quoted = path && notebookRoute ? quotePath(path) : null;
  if (quoted) {
    const line = document.createElement("div");
    line.appendChild(link(`${baseUrl}${notebookRoute}${quoted}`, "open the notebook", "open"));
    name.appendChild(line);
  }
  const total = document.createElement("div");
  total.textContent = `${entry.components} in all`;
  const kernel = document.createElement("code");
  kernel.textContent = entry.kernel_id;
  const tr = document.createElement("tr");
  tr.dataset.kernelId = entry.kernel_id;
  tr.append(
    name,
    cell(total, counts(entry)),
    cell(readable(entry.updated)),
    cell(kernel, document.createElement("br"), entry.running ? "kernel is running" : "kernel stopped"),
  );
  return tr;
}

function show(pipelines) {
  // By notebook, then kernel: the order a person looks for them in.
  const sorted = [...pipelines].sort(
    (a, b) => String(a.notebook ?? "\uffff").localeCompare(String(b.notebook ?? "\uffff")) || (a.kernel_id < b.kernel_id ? -1 : 1),
  );
  const present = new Set();
  let cursor = rows.firstChild;
  for (const entry of sorted) {
    present.add(entry.kernel_id);
    const key = JSON.stringify(entry);
    let known = shown.get(entry.kernel_id);
    if (!known || known.key !== key) {
      const row = rowOf(entry);
      if (known) {
        if (cursor === known.row) cursor = row;
        known.row.replaceWith(row);
      }
      known = { row, key };
      shown.set(entry.kernel_id, known);
    }
    if (known.row === cursor) cursor = cursor.nextSibling;
    else rows.insertBefore(known.row, cursor);
  }
  for (const [kernelId, { row }] of shown) {
    if (!present.has(kernelId)) {
      row.remove();
      shown.delete(kernelId);
    }
  }
  table.hidden = sorted.length === 0;
  notice.textContent = sorted.length
    ? ""
    : "No pipeline is registered. A pipeline appears here once a notebook runs a cell or posts a pipeline.";
  notice.hidden = sorted.length > 0;
}

let timer = 0;
async function load() {
  clearTimeout(timer);
  try {
    const response = await fetch(`${baseUrl}zelvo/kernels`, { headers: { Accept: "application/json" } });
    if (!response.ok) throw new Error(`the server answered ${response.status}`);
    show(await response.json());
    live.textContent = `Follows changes: checked at ${readable(new Date().toISOString())}.`;
  } catch (error) {
    live.textContent = `The list could not be loaded: ${error.message}. Trying again.`;
    if (!shown.size) {
      notice.textContent = `The list of pipelines could not be loaded: ${error.message}.`;
      notice.hidden = false;
    }
  }
  timer = setTimeout(load, POLL_MS);
}

document.getElementById("refresh").addEventListener("click", load);
load();
