// The live pipeline page: one snapshot and then every relayed update over the kernel's
// websocket, into the pipeline's state (pipeline.js), laid out (layout.js), drawn
// (drawing.js) in a window that moves (viewport.js), beside its panels (panels.js). The
// protocol's words come from the page's protocol data. With ?embed=1 the page is a notebook's
// side panel: it tells the notebook which component was clicked and shows the one the notebook
// asks for.
import { Drawing, SIZE } from "./drawing.js";
import { CycleError, layout } from "./layout.js";
import { Panels } from "./panels.js";
import { PipelineState, shorten } from "./pipeline.js";
import { Viewport, bindInput } from "./viewport.js";

const HIGHLIGHT_MS = 3000;
const RETRY_MS = [500, 1000, 2000, 4000, 8000, 15000, 30000];

const body = document.body;
const baseUrl = body.dataset.baseUrl;
const kernelId = body.dataset.kernelId;
const notebook = body.dataset.notebook;
const embedded = body.dataset.embed === "1";
// Written by the server as data: the protocol's words and the close code that ends the stream
// for good (the kernel was shut down).
const PROTOCOL = JSON.parse(document.getElementById("protocol").textContent);
const $ = (id) => document.getElementById(id);
const graph = $("graph");
const notice = $("notice");
const connection = $("connection");
const findInput = $("find");

const state = new PipelineState(PROTOCOL);
// id -> time until which the component is marked as just added or revised.
const changedUntil = new Map();
const query = new URLSearchParams(location.search);
let focusId = query.get("focus") || null;
// The component whose details are shown: the focused one to begin with.
let selected = focusId;
let updates = 0;
// What is drawn: the layout of the whole pipeline or of the focused part.
let shown = null;
// Whether the view still has to be placed for the drawing (first one, new focus).
let unplaced = true;
// A component to bring into the window once the drawing that holds it is made.
let target = null;

function say(text) {
  notice.textContent = text;
  notice.hidden = !text;
}

let frame = 0;
function schedule() {
  if (!frame) frame = requestAnimationFrame(render);
}

function render() {
  frame = 0;
  drawing.render(viewport.view, viewport.width, viewport.height);
}

const viewport = new Viewport(graph, schedule);
const drawing = new Drawing({
  graph,
  far: $("far"),
  farEdges: $("far-edges"),
  overview: $("overview"),
  protocol: PROTOCOL,
  state,
  changedUntil,
  isSelected: (id) => id === selected,
});
const panels = new Panels({
  state,
  protocol: PROTOCOL,
  glyph: (status) => drawing.glyph(status),
  selected: () => selected,
  focusId: () => focusId,
  jump,
  setFocus,
});

// ---------------------------------------------------------------------------------------
// Selection, focus and find

function select(id, { fromUser = false } = {}) {
  selected = id;
  for (const [other, entry] of drawing.nodes) {
    entry.element.setAttribute("aria-pressed", other === id ? "true" : "false");
  }
  panels.showDetails();
  // The selected component's edges are drawn over the boxes.
  schedule();
  const component = state.get(id);
  if (fromUser && embedded && window.parent !== window && component) {
    window.parent.postMessage(
      { type: "zelvo:select", id, front_end_id: component.front_end_id ?? null, position: component.position ?? null },
      location.origin,
    );
  }
}

// Selects a component and brings it into the window, drawing the whole pipeline if the
// focused part does not hold it.
function jump(id) {
  select(id);
  if (shown && shown.place.has(id)) {
    reveal(id);
  } else if (state.has(id)) {
    target = id;
    setFocus(null);
  }
}

function reveal(id) {
  const at = shown && shown.place.get(id);
  if (!at) return false;
  viewport.reveal(at.x, at.y);
  return true;
}

function setFocus(id) {
  focusId = id;
  setQuery("focus", id);
  if (id !== null) selected = id;
  else if (selected !== null) target = selected;
  unplaced = true;
  draw();
}

function setQuery(key, value) {
  const params = new URLSearchParams(location.search);
  if (value) params.set(key, value);
  else params.delete(key);
  const search = params.toString();
  history.replaceState(null, "", `${location.pathname}${search ? `?${search}` : ""}${location.hash}`);
}

function exportUrl(format, ids) {
  const link = new URLSearchParams({ format, cell_ids: ids.join(",") });
  if (notebook) link.set("ipynb_name", notebook.split("/").pop());
  return `${baseUrl}zelvo/kernels/${encodeURIComponent(kernelId)}/export?${link}`;
}

let findTimer = 0;
findInput.value = query.get("find") || "";
function find() {
  clearTimeout(findTimer);
  setQuery("find", findInput.value);
  panels.runFind(findInput.value);
}
findInput.addEventListener("input", () => {
  clearTimeout(findTimer);
  findTimer = setTimeout(find, 150);
});
$("find-form").addEventListener("submit", (event) => {
  event.preventDefault();
  find();
});

bindInput(viewport, { select: (id) => select(id, { fromUser: true }), fit: () => viewport.fit() });
$("fit").addEventListener("click", () => viewport.fit());
$("zoom-in").addEventListener("click", () => viewport.zoomAt(1.25));
$("zoom-out").addEventListener("click", () => viewport.zoomAt(0.8));
$("actual").addEventListener("click", () => viewport.actualSize());
const overview = $("overview");
function moveFromOverview(event) {
  viewport.centreAt(...drawing.fromOverview(event.clientX, event.clientY));
}
overview.addEventListener("pointerdown", (event) => {
  overview.setPointerCapture(event.pointerId);
  moveFromOverview(event);
});
overview.addEventListener("pointermove", (event) => {
  if (overview.hasPointerCapture(event.pointerId)) moveFromOverview(event);
});
// A window (or side panel) resized keeps a fitted drawing fitted.
new ResizeObserver(() => {
  if (viewport.fitted) viewport.fit();
  else schedule();
}).observe(graph);

// The notebook's panel asks for a component: only messages of this page's own origin count.
window.addEventListener("message", (event) => {
  if (event.origin !== location.origin || !event.data || event.data.type !== "zelvo:focus") return;
  if (typeof event.data.id === "string" && state.has(event.data.id)) jump(event.data.id);
});

// ---------------------------------------------------------------------------------------
// Laying out and drawing

function relayout() {
  shown = null;
  let part = null;
  let ids = null;
  if (focusId !== null && state.has(focusId)) {
    const ancestors = state.ancestors(focusId);
    const descendants = state.descendants(focusId);
    const keep = new Set([focusId, ...ancestors, ...descendants]);
    part = { keep, ancestors: ancestors.size, descendants: descendants.size };
    ids = keep;
  } else {
    ids = state.components().map((component) => component.id);
  }
  try {
    const order = state.parentsFirst(ids).map((id) => state.get(id));
    shown = layout(order, { ...SIZE, aspect: viewport.width / Math.max(1, viewport.height) });
  } catch (error) {
    if (!(error instanceof CycleError)) throw error;
    say(`The pipeline cannot be drawn: ${error.message}.`);
  }
  drawing.setShown(shown);
  viewport.setBounds(shown ? shown.width : 0, shown ? shown.height : 0);
  panels.showFocus(shown && part, exportUrl);
  if (!part && focusId !== null && state.registered) {
    say(`The component ${shorten(focusId, 60)} is not in the pipeline; the whole pipeline is drawn.`);
  }
}

// Drawing is asked for and done in two tasks (the layout, then the elements), so that the main
// thread is never held for both at once; asks that come before it is done join it. Only a
// change of structure (a component added or deleted, parents or positions changed, a new
// focus) lays out again; otherwise the drawing is only brought up to date.
let pending = null;

function draw({ since = performance.now(), structural = true } = {}) {
  if (pending) {
    pending.structural ||= structural;
    return;
  }
  pending = { since, structural };
  setTimeout(drawLayout);
}

function drawLayout() {
  say("");
  if (pending.structural || shown === null) relayout();
  // Statuses may have changed: the overview's colours with them.
  else drawing.refreshOverview();
  pending.structural = false;
  setTimeout(drawElements);
}

function drawElements() {
  if (pending.structural) relayout();
  const { since } = pending;
  pending = null;
  if (!state.registered) {
    say("No pipeline is registered for this kernel yet. It is drawn here as soon as one is posted.");
  } else if (state.size === 0) {
    say("The pipeline of this kernel has no components.");
  }
  if (shown && shown.order.length && unplaced) {
    // Opened (or focused): the whole drawing in the window.
    unplaced = false;
    viewport.fit();
  }
  if (target !== null && reveal(target)) target = null;
  if (frame) cancelAnimationFrame(frame);
  render();
  panels.summarise();
  panels.runFind(findInput.value);
  panels.showDetails();
  updates += 1;
  body.dataset.updates = String(updates);
  // Measured up to the first frame after the change, so style and layout are included.
  requestAnimationFrame(() =>
    setTimeout(() => {
      performance.measure("zelvo-draw", { start: since, end: performance.now() });
    }),
  );
}

// ---------------------------------------------------------------------------------------
// The socket

function highlight(ids) {
  const until = performance.now() + HIGHLIGHT_MS;
  for (const id of ids) {
    if (state.has(id)) changedUntil.set(id, until);
    else changedUntil.delete(id);
  }
  setTimeout(() => drawing.fade(), HIGHLIGHT_MS + 50);
}

// Failed connections since the last snapshot, and snapshots received since the page opened.
let attempt = 0;
let snapshots = 0;

function connect() {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  const path = `${baseUrl}zelvo/kernels/${encodeURIComponent(kernelId)}/ws?snapshot=1`;
  const socket = new WebSocket(`${scheme}//${location.host}${path}`);
  let first = true;
  socket.addEventListener("open", () => {
    connection.classList.remove("closed");
    connection.setAttribute("role", "status");
  });
  socket.addEventListener("message", (event) => {
    const since = performance.now();
    let message;
    try {
      message = JSON.parse(event.data);
    } catch (error) {
      return;
    }
    // A snapshot is the whole pipeline: after a reconnection whatever it lacks was deleted,
    // and only what differs from what is drawn is redrawn.
    const snapshot = first;
    first = false;
    const result = state.applyMessage(message, { snapshot });
    if (snapshot) {
      attempt = 0;
      const again = snapshots++ > 0;
      connection.textContent = again
        ? "Live again: reconnected, and the drawing shows the latest pipeline."
        : "Live: the drawing follows every update.";
      if (again) highlight(result.changed);
      if (result.kind === "update") draw({ since });
      return;
    }
    if (result.kind !== "update") return;
    highlight(result.changed);
    // Said in words too, for those who do not see the highlight.
    const time = new Date().toLocaleTimeString();
    connection.textContent =
      `Live. Last update at ${time}: ${result.added} added, ${result.revised} revised, ${result.deleted} deleted.`;
    draw({ since, structural: result.structural });
  });
  socket.addEventListener("close", (event) => {
    const why = event.reason ? `${event.reason} ` : "";
    connection.classList.add("closed");
    if (event.code === PROTOCOL.final_close) {
      connection.textContent = `Disconnected. ${why || "The server went away. "}The drawing no longer updates.`;
      connection.setAttribute("role", "alert");
      if (snapshots === 0) say("The pipeline could not be loaded.");
      return;
    }
    const wait = RETRY_MS[Math.min(attempt, RETRY_MS.length - 1)];
    attempt += 1;
    connection.textContent =
      `Connection lost. ${why || "The server ended the connection or could not be reached. "}` +
      `Reconnecting in ${Math.round(wait / 1000) || 1} s…`;
    setTimeout(connect, wait);
  });
}

connect();
