// The live pipeline page: one snapshot and then every relayed update over the kernel's
// websocket. Only the components in the window are in the document (as SVG), and an update
// replaces only the nodes it changed; far out, a canvas draws boxes without words. Everything
// a pipeline carries came from a client, so it only ever reaches the page as text.
import { CycleError, layout } from "./layout.js";

const SVG = "http://www.w3.org/2000/svg";
const NODE_WIDTH = 210;
const NODE_HEIGHT = 78;
const SIZE = { node: NODE_WIDTH, height: NODE_HEIGHT, gapX: 24, gapY: 46, lane: 6, lanes: 48, margin: 16 };
// What fits in a box beside the band, in the monospace fonts of the ids and the code.
const ID_CHARS = 24;
const CODE_CHARS = 26;
const HIGHLIGHT_MS = 3000;
// Below this scale words are unreadable: boxes are drawn on a canvas instead of as elements.
const FAR_SCALE = 0.3;
const MAX_SCALE = 2;
// Drawn beyond each side of the window, so that a small pan finds its nodes in place.
const OVERSCAN = 200;
const MATCHES_SHOWN = 100;
const RETRY_MS = [500, 1000, 2000, 4000, 8000, 15000, 30000];
const TYPES = { code: "code", parameter: "parameter" };
const UNKNOWN = { cls: "status-unknown", word: "unknown" };

const body = document.body;
const baseUrl = body.dataset.baseUrl;
const kernelId = body.dataset.kernelId;
const notebook = body.dataset.notebook;
// Written by the server as data: status -> word in the server's order, and the close code
// that ends the stream for good (the kernel was shut down).
const PROTOCOL = JSON.parse(document.getElementById("protocol").textContent);
const STATUSES = new Map(PROTOCOL.statuses);
const $ = (id) => document.getElementById(id);
const graph = $("graph");
const far = $("far");
const overview = $("overview");
const notice = $("notice");
const connection = $("connection");
const findInput = $("find");

// The pipeline as the server holds it: id -> component.
const components = new Map();
// id -> time until which the component is marked as just added or revised.
const changedUntil = new Map();
// id -> milliseconds of its last run (NaN when unknown), for "ran after it".
const ranAt = new Map();
let registered = false;
let updates = 0;
const query = new URLSearchParams(location.search);
let focusId = query.get("focus") || null;
// The component whose details are shown: the focused one to begin with.
let selected = focusId;
let findText = query.get("find") || "";
let matches = [];
// What is drawn: the layout of the whole pipeline or of the focused part, plus indexes.
let shown = null;
// The window onto the drawing: world point at its top-left corner, and pixels per unit.
const view = { x: 0, y: 0, scale: 1 };
// Whether the view still has to be placed for the drawing (first one, new focus).
let unplaced = true;
// Drawn elements: id -> {element, component, x, y}; edge key -> {element, d}; trunk -> element.
const drawnNodes = new Map();
const drawnEdges = new Map();
const drawnTrunks = new Map();

function element(name, attributes = {}, text = null) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (text !== null) node.textContent = text;
  return node;
}

const svg = element("svg", { class: "drawing", role: "group" });
const world = element("g");
const trunkLayer = element("g", { class: "edges trunks", "aria-hidden": "true" });
const edgeLayer = element("g", { class: "edges", "aria-hidden": "true" });
const nodeLayer = element("g", { class: "nodes" });
{
  const defs = element("defs");
  const marker = element("marker", {
    id: "arrow",
    viewBox: "0 0 10 10",
    refX: 10,
    refY: 5,
    markerWidth: 7,
    markerHeight: 7,
    orient: "auto-start-reverse",
  });
  marker.appendChild(element("path", { d: "M 0 0 L 10 5 L 0 10 z", class: "arrow" }));
  defs.appendChild(marker);
  world.append(trunkLayer, edgeLayer, nodeLayer);
  svg.append(defs, world);
  graph.prepend(svg);
}

function statusOf(component) {
  const word = STATUSES.get(component.execution_status);
  return word === undefined ? UNKNOWN : { cls: `status-${component.execution_status}`, word };
}

function shorten(text, length) {
  return text.length > length ? `${text.slice(0, length - 1)}…` : text;
}

const yearFormat = new Intl.DateTimeFormat(undefined, { year: "numeric", month: "short", day: "numeric" });
const dayFormat = new Intl.DateTimeFormat(undefined, { month: "short", day: "numeric" });
const clockFormat = new Intl.DateTimeFormat(undefined, {
  hour: "2-digit",
  minute: "2-digit",
  second: "2-digit",
  hourCycle: "h23",
});

// A time as a person reads it: to the second, in local time, with the day when it is not
// today and the year when it is not this year.
function readable(value) {
  if (!value) return "never";
  const when = new Date(value);
  if (Number.isNaN(when.getTime())) return shorten(value, 20);
  const now = new Date();
  const clock = clockFormat.format(when);
  if (when.getFullYear() !== now.getFullYear()) return `${yearFormat.format(when)}, ${clock}`;
  const day = dayFormat.format(when);
  return day === dayFormat.format(now) ? clock : `${day}, ${clock}`;
}

function firstLine(code) {
  const line = code.split("\n", 50).find((text) => text.trim()) || "";
  return shorten(line.trim(), CODE_CHARS);
}

function say(text) {
  notice.textContent = text;
  notice.hidden = !text;
}

function same(a, b) {
  return (
    a.component_type === b.component_type &&
    a.code === b.code &&
    a.execution_status === b.execution_status &&
    a.last_execution === b.last_execution &&
    a.parents_id.length === b.parents_id.length &&
    a.parents_id.every((parent, at) => parent === b.parents_id[at])
  );
}

// ---------------------------------------------------------------------------------------
// What is drawn

// The focused component, its ancestors and its descendants.
function neighbourhood(id) {
  const keep = new Set([id]);
  const children = new Map();
  for (const component of components.values()) {
    for (const parent of component.parents_id) {
      if (!children.has(parent)) children.set(parent, []);
      children.get(parent).push(component.id);
    }
  }
  const walk = (start, next) => {
    const stack = [start];
    while (stack.length) {
      for (const other of next(stack.pop()) || []) {
        if (!keep.has(other) && components.has(other)) {
          keep.add(other);
          stack.push(other);
        }
      }
    }
  };
  walk(id, (at) => components.get(at).parents_id);
  const ancestors = keep.size - 1;
  walk(id, (at) => children.get(at));
  return { keep, ancestors, descendants: keep.size - 1 - ancestors };
}

function relayout() {
  shown = null;
  const part = focusId !== null && components.has(focusId) ? neighbourhood(focusId) : null;
  const list = part ? Array.from(part.keep, (id) => components.get(id)) : components.values();
  try {
    shown = layout(list, SIZE);
  } catch (error) {
    if (!(error instanceof CycleError)) throw error;
    say(`The pipeline cannot be drawn: ${error.message}.`);
    return;
  }
  shown.part = part;
  // Edges by the child's layer: a short edge lies in the gap above it, a long one's branch too.
  shown.edgeRows = shown.rows.map(() => []);
  for (const edge of shown.edges) shown.edgeRows[edge.layer].push(edge);
  for (const trunk of shown.trunks) trunk.box = boxOf(trunk.points);
  showFocus();
  paintOverview();
}

function boxOf(points) {
  let [x0, y0, x1, y1] = [Infinity, Infinity, -Infinity, -Infinity];
  for (const [x, y] of points) {
    x0 = Math.min(x0, x);
    y0 = Math.min(y0, y);
    x1 = Math.max(x1, x);
    y1 = Math.max(y1, y);
  }
  return [x0, y0, x1, y1];
}

const meets = (box, rect) => box[0] <= rect[2] && box[2] >= rect[0] && box[1] <= rect[3] && box[3] >= rect[1];

// The window's rectangle in drawing units, widened by the overscan.
function windowRect(margin = OVERSCAN) {
  const pad = margin / view.scale;
  return [
    view.x - pad,
    view.y - pad,
    view.x + graph.clientWidth / view.scale + pad,
    view.y + graph.clientHeight / view.scale + pad,
  ];
}

// The ids, edges and trunks that meet a rectangle: rows by arithmetic, a row by bisection.
function visible(rect) {
  const rowHeight = SIZE.height + SIZE.gapY;
  const first = Math.max(0, Math.floor((rect[1] - SIZE.margin - SIZE.height) / rowHeight));
  const last = Math.min(shown.rows.length - 1, Math.floor((rect[3] - SIZE.margin) / rowHeight));
  const ids = [];
  const edges = [];
  for (let layer = first; layer <= last + 1 && layer < shown.rows.length; layer++) {
    for (const edge of shown.edgeRows[layer]) {
      const [left, right] = edge.x0 < edge.x1 ? [edge.x0, edge.x1] : [edge.x1, edge.x0];
      if (left <= rect[2] && right >= rect[0] && edge.y0 <= rect[3] && edge.y1 >= rect[1]) edges.push(edge);
    }
    if (layer > last) break;
    const row = shown.rows[layer];
    let low = 0;
    let high = row.length;
    while (low < high) {
      const middle = (low + high) >> 1;
      if (shown.place.get(row[middle]).x + NODE_WIDTH < rect[0]) low = middle + 1;
      else high = middle;
    }
    for (let at = low; at < row.length && shown.place.get(row[at]).x <= rect[2]; at++) ids.push(row[at]);
  }
  const trunks = shown.trunks.filter((trunk) => meets(trunk.box, rect));
  return { ids, edges, trunks };
}

let frame = 0;
function schedule() {
  if (!frame) frame = requestAnimationFrame(render);
}

function render() {
  frame = 0;
  world.setAttribute("transform", `scale(${view.scale}) translate(${-view.x} ${-view.y})`);
  const drawing = shown !== null && shown.rows.length > 0;
  svg.style.display = drawing ? "" : "none";
  // The overview is for a drawing larger than the window.
  const [x0, y0, x1, y1] = windowRect(0);
  overview.hidden = !drawing || (x0 <= 0 && y0 <= 0 && x1 >= shown.width && y1 >= shown.height);
  if (!drawing) {
    clearDrawn();
    far.hidden = true;
    return;
  }
  if (view.scale < FAR_SCALE) {
    clearDrawn();
    paintFar();
  } else {
    far.hidden = true;
    reconcile(visible(windowRect()));
  }
  paintOverviewWindow();
}

function clearDrawn() {
  for (const map of [drawnNodes, drawnEdges, drawnTrunks]) {
    for (const entry of map.values()) (entry.element || entry).remove();
    map.clear();
  }
}

// Brings the document to what should be drawn: a node is replaced only when its component
// changed, moved when only its place did, and the rest is left alone.
function reconcile({ ids, edges, trunks }) {
  const active = document.activeElement;
  const keyboard = active && active.closest ? active.closest(".node") : null;
  const keyboardId = keyboard ? keyboard.dataset.id : null;
  const now = performance.now();
  const wanted = new Set(ids);
  for (const [id, entry] of drawnNodes) {
    if (!wanted.has(id)) {
      entry.element.remove();
      drawnNodes.delete(id);
    }
  }
  let cursor = nodeLayer.firstChild;
  for (const id of ids) {
    const component = components.get(id);
    const at = shown.place.get(id);
    let entry = drawnNodes.get(id);
    if (entry && entry.component !== component) {
      const fresh = nodeOf(component);
      entry.element.replaceWith(fresh);
      if (cursor === entry.element) cursor = fresh;
      entry = { element: fresh, component, x: null, y: null };
      drawnNodes.set(id, entry);
    } else if (!entry) {
      entry = { element: nodeOf(component), component, x: null, y: null };
      drawnNodes.set(id, entry);
    }
    const node = entry.element;
    if (entry.x !== at.x || entry.y !== at.y) {
      node.setAttribute("transform", `translate(${at.x} ${at.y})`);
      entry.x = at.x;
      entry.y = at.y;
    }
    node.classList.toggle("changed", (changedUntil.get(id) || 0) > now);
    const pressed = id === selected ? "true" : "false";
    if (node.getAttribute("aria-pressed") !== pressed) node.setAttribute("aria-pressed", pressed);
    // Document order follows the layers, so Tab walks the drawing from the roots down.
    if (node === cursor) cursor = cursor.nextSibling;
    else nodeLayer.insertBefore(node, cursor);
  }
  // A node replaced or moved in the document hands the keyboard focus to its successor.
  const successor = keyboardId !== null && drawnNodes.get(keyboardId);
  if (successor && document.activeElement !== successor.element) successor.element.focus({ preventScroll: true });

  const keys = new Set();
  for (const edge of edges) {
    const key = `${edge.from}\u0000${edge.to}`;
    keys.add(key);
    const d = curve(edge.points);
    let entry = drawnEdges.get(key);
    if (!entry) {
      entry = { element: element("path", { "marker-end": "url(#arrow)" }), d: null };
      entry.element.dataset.from = edge.from;
      entry.element.dataset.to = edge.to;
      edgeLayer.appendChild(entry.element);
      drawnEdges.set(key, entry);
    }
    if (entry.d !== d) {
      entry.element.setAttribute("d", d);
      entry.d = d;
    }
    const cls = newer(edge.from, edge.to) ? "newer" : "";
    if ((entry.element.getAttribute("class") || "") !== cls) entry.element.setAttribute("class", cls);
  }
  for (const [key, entry] of drawnEdges) {
    if (!keys.has(key)) {
      entry.element.remove();
      drawnEdges.delete(key);
    }
  }
  const froms = new Set();
  for (const trunk of trunks) {
    froms.add(trunk.from);
    const d = polyline(trunk.points);
    let path = drawnTrunks.get(trunk.from);
    if (!path) {
      path = element("path");
      path.dataset.from = trunk.from;
      trunkLayer.appendChild(path);
      drawnTrunks.set(trunk.from, path);
    }
    if (path.getAttribute("d") !== d) path.setAttribute("d", d);
  }
  for (const [from, path] of drawnTrunks) {
    if (!froms.has(from)) {
      path.remove();
      drawnTrunks.delete(from);
    }
  }
}

// Whether the parent ran after the child, so the child may be out of date.
function newer(parent, child) {
  return ranAt.get(parent) > ranAt.get(child);
}

// Vertical S-curves between the parent's bottom and the child's top, or a long edge's branch:
// along the gap, then down into the child.
function curve(points) {
  if (points.length > 2) return polyline(points);
  const [[x0, y0], [x1, y1]] = points;
  if (x0 === x1) return `M ${x0} ${y0} L ${x1} ${y1}`;
  const bend = (y1 - y0) / 2;
  return `M ${x0} ${y0} C ${x0} ${y0 + bend} ${x1} ${y1 - bend} ${x1} ${y1}`;
}

function polyline(points) {
  return points.map(([x, y], at) => `${at ? "L" : "M"} ${x} ${y}`).join(" ");
}

function nodeOf(component) {
  const status = statusOf(component);
  const type = TYPES[component.component_type] || "unknown";
  const ran = readable(component.last_execution);
  const node = element("g", {
    class: `node ${status.cls}`,
    tabindex: 0,
    role: "button",
    "aria-label": `${component.id}: ${type} component, ${status.word}, last run ${ran}`,
  });
  node.dataset.id = component.id;
  const full = component.last_execution || "never";
  node.appendChild(element("title", {}, `${component.id}\n${type}, ${status.word}\nlast run: ${full}`));
  node.appendChild(element("rect", { class: "box", width: NODE_WIDTH, height: NODE_HEIGHT, rx: 6 }));
  node.appendChild(element("rect", { class: "band", width: 7, height: NODE_HEIGHT, rx: 3 }));
  node.appendChild(element("text", { class: "id", x: 16, y: 19 }, shorten(component.id, ID_CHARS)));
  node.appendChild(element("text", { class: "meta", x: 16, y: 36 }, `${type} · ${status.word}`));
  node.appendChild(element("text", { class: "time", x: 16, y: 52 }, `ran ${ran}`));
  node.appendChild(element("text", { class: "snippet", x: 16, y: 68 }, firstLine(component.code)));
  return node;
}

// ---------------------------------------------------------------------------------------
// Far out and the overview: boxes on canvases

const colours = new Map();
function colourOf(component) {
  const cls = statusOf(component).cls;
  if (!colours.has(cls)) {
    const probe = document.createElement("span");
    probe.className = cls;
    document.body.appendChild(probe);
    colours.set(cls, getComputedStyle(probe).getPropertyValue("--swatch").trim() || "#888");
    probe.remove();
  }
  return colours.get(cls);
}

function sized(canvas, width, height) {
  const ratio = window.devicePixelRatio || 1;
  canvas.width = Math.max(1, Math.round(width * ratio));
  canvas.height = Math.max(1, Math.round(height * ratio));
  const context = canvas.getContext("2d");
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  return context;
}

function paintFar() {
  far.hidden = false;
  const context = sized(far, graph.clientWidth, graph.clientHeight);
  context.clearRect(0, 0, graph.clientWidth, graph.clientHeight);
  context.save();
  context.scale(view.scale, view.scale);
  context.translate(-view.x, -view.y);
  const { ids, edges, trunks } = visible(windowRect(0));
  // Light, so that the boxes stand out of the many edges of a large drawing.
  context.strokeStyle = "rgb(140 149 159 / 0.35)";
  context.lineWidth = 1 / view.scale;
  context.beginPath();
  for (const line of [...edges, ...trunks]) {
    line.points.forEach(([x, y], at) => (at ? context.lineTo(x, y) : context.moveTo(x, y)));
  }
  context.stroke();
  for (const id of ids) {
    const at = shown.place.get(id);
    context.fillStyle = colourOf(components.get(id));
    context.fillRect(at.x, at.y, NODE_WIDTH, NODE_HEIGHT);
  }
  context.restore();
}

const OVERVIEW = { width: 180, height: 140 };
let overviewImage = null;
let overviewScale = 1;

function paintOverview() {
  overviewImage = null;
  if (!shown || !shown.width) return;
  overviewScale = Math.min(OVERVIEW.width / shown.width, OVERVIEW.height / shown.height);
  const image = document.createElement("canvas");
  const context = sized(image, OVERVIEW.width, OVERVIEW.height);
  const w = Math.max(1, NODE_WIDTH * overviewScale);
  const h = Math.max(1, NODE_HEIGHT * overviewScale);
  // One path per colour: far fewer state changes than a fill per box.
  const paths = new Map();
  for (const [id, at] of shown.place) {
    const colour = colourOf(components.get(id));
    if (!paths.has(colour)) paths.set(colour, new Path2D());
    paths.get(colour).rect(at.x * overviewScale, at.y * overviewScale, w, h);
  }
  for (const [colour, path] of paths) {
    context.fillStyle = colour;
    context.fill(path);
  }
  overviewImage = image;
}

function paintOverviewWindow() {
  const context = sized(overview, OVERVIEW.width, OVERVIEW.height);
  context.clearRect(0, 0, OVERVIEW.width, OVERVIEW.height);
  if (overviewImage) context.drawImage(overviewImage, 0, 0, OVERVIEW.width, OVERVIEW.height);
  const s = overviewScale;
  context.strokeStyle = "#0969da";
  context.lineWidth = 1.5;
  const [x0, y0, x1, y1] = windowRect(0).map((value) => value * s);
  const [left, top] = [Math.max(1, x0), Math.max(1, y0)];
  const [right, bottom] = [Math.min(OVERVIEW.width - 1, x1), Math.min(OVERVIEW.height - 1, y1)];
  context.strokeRect(left, top, Math.max(3, right - left), Math.max(3, bottom - top));
}

// ---------------------------------------------------------------------------------------
// Moving the view

function clampScale(scale) {
  const least = shown && shown.width ? Math.min(FAR_SCALE, fitScale() / 2) : FAR_SCALE;
  return Math.min(MAX_SCALE, Math.max(least, scale));
}

function fitScale() {
  return Math.min(graph.clientWidth / shown.width, graph.clientHeight / shown.height);
}

function fit() {
  if (!shown || !shown.width) return;
  view.scale = Math.min(1, fitScale());
  view.x = (shown.width - graph.clientWidth / view.scale) / 2;
  view.y = (shown.height - graph.clientHeight / view.scale) / 2;
  schedule();
}

function zoomAt(factor, screenX = graph.clientWidth / 2, screenY = graph.clientHeight / 2) {
  const scale = clampScale(view.scale * factor);
  view.x += screenX / view.scale - screenX / scale;
  view.y += screenY / view.scale - screenY / scale;
  view.scale = scale;
  schedule();
}

function panBy(dx, dy) {
  view.x += dx / view.scale;
  view.y += dy / view.scale;
  schedule();
}

// Moves the view so that the component is in the middle, unless it is in the window already.
function centreOn(id) {
  const at = shown && shown.place.get(id);
  if (!at) return false;
  const [x0, y0, x1, y1] = windowRect(0);
  if (view.scale >= FAR_SCALE && at.x >= x0 && at.y >= y0 && at.x + NODE_WIDTH <= x1 && at.y + NODE_HEIGHT <= y1) {
    return true;
  }
  if (view.scale < FAR_SCALE) view.scale = 1;
  view.x = at.x + NODE_WIDTH / 2 - graph.clientWidth / view.scale / 2;
  view.y = at.y + NODE_HEIGHT / 2 - graph.clientHeight / view.scale / 2;
  schedule();
  return true;
}

// The first view of a drawing: the whole if it is readable so, else the focused component or
// the roots at full size.
function place() {
  unplaced = false;
  if (fitScale() >= 0.6) {
    fit();
  } else if (focusId !== null && shown.place.has(focusId)) {
    view.scale = 1;
    centreOn(focusId);
  } else {
    view.scale = 1;
    const row = shown.rows[0];
    view.x = Math.max(0, shown.place.get(row[0]).x - SIZE.margin);
    view.y = 0;
  }
}

let drag = null;
graph.addEventListener("pointerdown", (event) => {
  if (event.button !== 0 || event.target === overview) return;
  drag = { x: event.clientX, y: event.clientY, moved: false, id: event.pointerId };
});
graph.addEventListener("pointermove", (event) => {
  if (!drag || drag.id !== event.pointerId) return;
  const [dx, dy] = [event.clientX - drag.x, event.clientY - drag.y];
  if (!drag.moved && Math.hypot(dx, dy) < 4) return;
  if (!drag.moved) graph.setPointerCapture(event.pointerId);
  drag.moved = true;
  graph.classList.add("dragging");
  panBy(-dx, -dy);
  drag.x = event.clientX;
  drag.y = event.clientY;
});
const endDrag = (event) => {
  if (!drag || drag.id !== event.pointerId) return;
  graph.classList.remove("dragging");
  // A drag that moved is not a click on the node it started on.
  if (drag.moved) setTimeout(() => (drag = null));
  else drag = null;
};
graph.addEventListener("pointerup", endDrag);
graph.addEventListener("pointercancel", endDrag);
graph.addEventListener(
  "wheel",
  (event) => {
    event.preventDefault();
    const box = graph.getBoundingClientRect();
    const unit = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? graph.clientHeight : 1;
    if (event.ctrlKey || event.metaKey) {
      zoomAt(Math.exp(-event.deltaY * unit * 0.002), event.clientX - box.left, event.clientY - box.top);
    } else {
      panBy(event.deltaX * unit, event.deltaY * unit);
    }
  },
  { passive: false },
);

const KEYS = {
  ArrowLeft: () => panBy(-80, 0),
  ArrowRight: () => panBy(80, 0),
  ArrowUp: () => panBy(0, -80),
  ArrowDown: () => panBy(0, 80),
  PageUp: () => panBy(0, -graph.clientHeight * 0.8),
  PageDown: () => panBy(0, graph.clientHeight * 0.8),
  "+": () => zoomAt(1.25),
  "=": () => zoomAt(1.25),
  "-": () => zoomAt(0.8),
  0: () => zoomAt(1 / view.scale),
  f: fit,
};

graph.addEventListener("keydown", (event) => {
  const node = event.target.closest(".node");
  if (node && (event.key === "Enter" || event.key === " ")) {
    event.preventDefault();
    select(node.dataset.id);
    return;
  }
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  const action = KEYS[event.key];
  if (action) {
    event.preventDefault();
    action();
  }
});

graph.addEventListener("click", (event) => {
  if (drag && drag.moved) return;
  const node = event.target.closest(".node");
  if (node) select(node.dataset.id);
});

function moveFromOverview(event) {
  const box = overview.getBoundingClientRect();
  const x = (event.clientX - box.left) / overviewScale;
  const y = (event.clientY - box.top) / overviewScale;
  view.x = x - graph.clientWidth / view.scale / 2;
  view.y = y - graph.clientHeight / view.scale / 2;
  schedule();
}
overview.addEventListener("pointerdown", (event) => {
  event.stopPropagation();
  overview.setPointerCapture(event.pointerId);
  moveFromOverview(event);
});
overview.addEventListener("pointermove", (event) => {
  if (overview.hasPointerCapture(event.pointerId)) moveFromOverview(event);
});

$("fit").addEventListener("click", fit);
$("zoom-in").addEventListener("click", () => zoomAt(1.25));
$("zoom-out").addEventListener("click", () => zoomAt(0.8));
$("actual").addEventListener("click", () => zoomAt(1 / view.scale));
window.addEventListener("resize", schedule);

// ---------------------------------------------------------------------------------------
// Selection, focus and find

function select(id) {
  selected = id;
  for (const [other, entry] of drawnNodes) {
    entry.element.setAttribute("aria-pressed", other === id ? "true" : "false");
  }
  showDetails();
}

function showDetails() {
  const component = selected === null ? undefined : components.get(selected);
  $("details-hint").hidden = component !== undefined;
  for (const id of ["details-fields", "details-code-block", "details-actions"]) $(id).hidden = component === undefined;
  if (component === undefined) return;
  $("details-id").textContent = component.id;
  $("details-type").textContent = TYPES[component.component_type] || "unknown";
  $("details-status").textContent = statusOf(component).word;
  const last = $("details-last");
  last.textContent = readable(component.last_execution);
  last.title = component.last_execution || "";
  $("details-parents").textContent = component.parents_id.join(", ") || "none";
  $("details-code").textContent = component.code;
  // The ancestors that ran after it: what it may be out of date against.
  const later = [];
  const seen = new Set([component.id]);
  const stack = [...component.parents_id];
  while (stack.length) {
    const id = stack.pop();
    if (seen.has(id) || !components.has(id)) continue;
    seen.add(id);
    if (newer(id, component.id)) later.push(id);
    stack.push(...components.get(id).parents_id);
  }
  later.sort();
  const newerList = $("details-newer");
  newerList.replaceChildren(...idButtons(later.slice(0, 20)));
  if (later.length > 20) newerList.append(` and ${later.length - 20} more`);
  if (!later.length) newerList.textContent = "none";
  $("focus-selected").disabled = selected === focusId;
}

// Buttons that jump to components; the ids are shown as text and cut to fit.
function idButtons(ids) {
  return ids.map((id) => {
    const button = document.createElement("button");
    button.type = "button";
    button.className = "link";
    button.dataset.id = id;
    button.title = id;
    button.textContent = shorten(id, 40);
    return button;
  });
}

// A component to bring into the window once the drawing that holds it is made.
let target = null;

function jump(id) {
  select(id);
  if (shown && shown.place.has(id)) {
    centreOn(id);
  } else {
    target = id;
    setFocus(null);
  }
}

for (const list of [$("matches"), $("details-newer")]) {
  list.addEventListener("click", (event) => {
    const button = event.target.closest("button[data-id]");
    if (button) jump(button.dataset.id);
  });
}

function setFocus(id) {
  focusId = id;
  setQuery("focus", id);
  if (id !== null) selected = id;
  else if (selected !== null) target = selected;
  unplaced = true;
  draw();
}

$("focus-selected").addEventListener("click", () => setFocus(selected));
$("unfocus").addEventListener("click", () => setFocus(null));

function showFocus() {
  const bar = $("focus-bar");
  const part = shown && shown.part;
  bar.hidden = !part;
  if (!part) {
    if (focusId !== null && registered) say(`The component ${shorten(focusId, 60)} is not in the pipeline; the whole pipeline is drawn.`);
    return;
  }
  $("focus-text").textContent =
    `Focus on ${shorten(focusId, 60)}: it, its ${part.ancestors} ancestor${part.ancestors === 1 ? "" : "s"} and its ` +
    `${part.descendants} descendant${part.descendants === 1 ? "" : "s"} (${part.keep.size} of ${components.size} components).`;
  const ids = Array.from(part.keep).join(",");
  for (const format of ["py", "ipynb"]) {
    const link = new URLSearchParams({ format, cell_ids: ids });
    if (notebook) link.set("ipynb_name", notebook.split("/").pop());
    $(`export-${format}`).href = `${baseUrl}zelvo/kernels/${encodeURIComponent(kernelId)}/export?${link}`;
  }
}

function setQuery(key, value) {
  const params = new URLSearchParams(location.search);
  if (value) params.set(key, value);
  else params.delete(key);
  const search = params.toString();
  history.replaceState(null, "", `${location.pathname}${search ? `?${search}` : ""}${location.hash}`);
}

function runFind(jumpToFirst) {
  const text = findText.toLowerCase();
  matches = [];
  if (text) {
    for (const component of components.values()) {
      if (component.id.toLowerCase().includes(text) || component.code.toLowerCase().includes(text)) {
        matches.push(component.id);
      }
    }
    matches.sort();
  }
  $("matches-panel").hidden = !text;
  $("matches-count").textContent = text
    ? `${matches.length} component${matches.length === 1 ? "" : "s"} match “${shorten(findText, 40)}”` +
      (matches.length > MATCHES_SHOWN ? `; the first ${MATCHES_SHOWN} are listed.` : ".")
    : "";
  $("matches").replaceChildren(...idButtons(matches.slice(0, MATCHES_SHOWN)).map((button) => {
    const item = document.createElement("li");
    item.appendChild(button);
    return item;
  }));
  if (jumpToFirst) {
    const first = matches.find((id) => shown && shown.place.has(id));
    if (first !== undefined) {
      select(first);
      centreOn(first);
    }
  }
}

let findTimer = 0;
findInput.value = findText;
findInput.addEventListener("input", () => {
  clearTimeout(findTimer);
  findTimer = setTimeout(() => {
    findText = findInput.value;
    setQuery("find", findText);
    runFind(true);
  }, 150);
});
$("find-form").addEventListener("submit", (event) => {
  event.preventDefault();
  clearTimeout(findTimer);
  findText = findInput.value;
  setQuery("find", findText);
  runFind(true);
});

// ---------------------------------------------------------------------------------------
// Summary and drawing

const summaryItems = new Map();
for (const [status, word] of [...STATUSES, ["unknown", UNKNOWN.word]]) {
  const item = document.createElement("li");
  item.className = status === "unknown" ? UNKNOWN.cls : `status-${status}`;
  const count = document.createElement("span");
  count.className = "count";
  item.append(`${word} `, count);
  $("summary").appendChild(item);
  summaryItems.set(status, { item, count });
}

function summarise() {
  const counts = new Map();
  for (const component of components.values()) {
    const status = STATUSES.has(component.execution_status) ? component.execution_status : "unknown";
    counts.set(status, (counts.get(status) || 0) + 1);
  }
  for (const [status, { item, count }] of summaryItems) {
    const n = counts.get(status) || 0;
    count.textContent = String(n);
    item.hidden = status === "unknown" && n === 0;
  }
}

// Drawing is asked for and done in two tasks (the layout, then the elements), so that the main
// thread is never held for both at once; asks that come before it is done join it. Only a
// change of structure (a component added or deleted, parents changed, a new focus) lays out
// again; otherwise the drawing is only brought up to date.
let pending = null;

function draw({ since = performance.now(), structural = true, jumpToFind = false } = {}) {
  if (pending) {
    pending.structural ||= structural;
    pending.jumpToFind ||= jumpToFind;
    return;
  }
  pending = { since, structural, jumpToFind };
  setTimeout(drawLayout);
}

function drawLayout() {
  say("");
  if (pending.structural || shown === null) relayout();
  else paintOverview();
  pending.structural = false;
  setTimeout(drawElements);
}

function drawElements() {
  if (pending.structural) relayout();
  const { since, jumpToFind } = pending;
  pending = null;
  if (!registered) {
    say("No pipeline is registered for this kernel yet. It is drawn here as soon as one is posted.");
  } else if (components.size === 0) {
    say("The pipeline of this kernel has no components.");
  }
  if (shown && shown.rows.length && unplaced) place();
  if (target !== null && centreOn(target)) target = null;
  if (frame) cancelAnimationFrame(frame);
  render();
  summarise();
  runFind(jumpToFind);
  showDetails();
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

function remember(component, until) {
  const old = components.get(component.id);
  if (old && same(old, component)) return false;
  components.set(component.id, component);
  const time = component.last_execution ? Date.parse(component.last_execution) : NaN;
  ranAt.set(component.id, time);
  if (until) changedUntil.set(component.id, until);
  return true;
}

function forget(id) {
  components.delete(id);
  changedUntil.delete(id);
  ranAt.delete(id);
}

// A snapshot is the whole pipeline: after a reconnection whatever it lacks was deleted, and
// only what differs from what is drawn is redrawn.
function applySnapshot(message, again) {
  if (message.procedure !== "pipeline:updated") return false;
  if (message.status !== "successful") {
    registered = false;
    for (const id of Array.from(components.keys())) forget(id);
    return true;
  }
  const changes = message.successful && message.successful.updated_components;
  if (!changes) return false;
  registered = true;
  const until = again ? performance.now() + HIGHLIGHT_MS : 0;
  const present = new Set();
  for (const component of changes.added || []) {
    present.add(component.id);
    remember(component, until);
  }
  for (const id of Array.from(components.keys())) if (!present.has(id)) forget(id);
  if (again) setTimeout(fade, HIGHLIGHT_MS + 50);
  return true;
}

// Applies a relayed update; returns null if it is not one, else whether the structure changed.
function apply(message) {
  if (message.procedure !== "pipeline:updated" || message.status !== "successful") return null;
  const changes = message.successful && message.successful.updated_components;
  if (!changes) return null;
  registered = true;
  const [added, revised, deleted] = [changes.added || [], changes.revised || [], changes.deleted || []];
  const until = performance.now() + HIGHLIGHT_MS;
  let structural = added.length > 0 || deleted.length > 0;
  for (const component of revised) {
    const old = components.get(component.id);
    if (!old || old.parents_id.join("\u0000") !== component.parents_id.join("\u0000")) structural = true;
  }
  for (const component of [...added, ...revised]) remember(component, until);
  for (const id of deleted) forget(id);
  setTimeout(fade, HIGHLIGHT_MS + 50);
  // Said in words too, for those who do not see the highlight.
  const time = new Date().toLocaleTimeString();
  connection.textContent =
    `Live. Last update at ${time}: ${added.length} added, ${revised.length} revised, ${deleted.length} deleted.`;
  return structural;
}

function fade() {
  const now = performance.now();
  for (const [id, entry] of drawnNodes) {
    if ((changedUntil.get(id) || 0) <= now) entry.element.classList.remove("changed");
  }
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
    if (first) {
      first = false;
      attempt = 0;
      const again = snapshots++ > 0;
      connection.textContent = again
        ? "Live again: reconnected, and the drawing shows the latest pipeline."
        : "Live: the drawing follows every update.";
      if (applySnapshot(message, again)) draw({ since, jumpToFind: !again });
    } else {
      const structural = apply(message);
      if (structural !== null) draw({ since, structural });
    }
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
