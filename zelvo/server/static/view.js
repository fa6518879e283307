// The live pipeline page: one snapshot and then every relayed update over the kernel's
// websocket, drawn as a layered SVG graph. Everything a pipeline carries came from a
// client, so it only ever reaches the page as text.
import { layout } from "./layout.js";

const SVG = "http://www.w3.org/2000/svg";
const NODE_WIDTH = 210;
const NODE_HEIGHT = 62;
const SIZE = { node: NODE_WIDTH, height: NODE_HEIGHT, slot: 14, gapX: 24, gapY: 46, margin: 12 };
const ID_CHARS = 26;
const HIGHLIGHT_MS = 3000;
// Class and word per status; anything else is shown as "unknown" (never as a class name).
const STATUSES = {
  succeeded: "succeeded",
  failed: "failed",
  invalid: "invalid",
  running: "running",
  "not-run": "not run",
};
const TYPES = { code: "code", parameter: "parameter" };

const body = document.body;
const baseUrl = body.dataset.baseUrl;
const kernelId = body.dataset.kernelId;
const graph = document.getElementById("graph");
const notice = document.getElementById("notice");
const connection = document.getElementById("connection");

// The pipeline as the server holds it: id -> component, in pipeline order.
const components = new Map();
// id -> time until which the component is marked as just added or revised.
const changedUntil = new Map();
// id -> its drawn node.
const drawn = new Map();
let selected = null;
let registered = false;
let updates = 0;

function element(name, attributes = {}, text = null) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (text !== null) node.textContent = text;
  return node;
}

function statusOf(component) {
  const word = STATUSES[component.execution_status];
  return word ? { cls: `status-${component.execution_status}`, word } : { cls: "status-unknown", word: "unknown" };
}

function lastRun(component) {
  return component.last_execution ? component.last_execution.replace("T", " ") : "never";
}

function shorten(text, length) {
  return text.length > length ? `${text.slice(0, length - 1)}…` : text;
}

function say(text) {
  notice.textContent = text;
  notice.hidden = !text;
}

function draw() {
  const started = performance.now();
  const list = Array.from(components.values());
  // A redraw replaces every node: keyboard focus moves to the new node of the same id.
  const focused = document.activeElement && document.activeElement.closest && document.activeElement.closest(".node");
  const focusedId = focused ? focused.dataset.id : null;
  drawn.clear();
  graph.replaceChildren();
  if (!registered) {
    say(`No pipeline is registered for this kernel yet. It is drawn here as soon as one is posted.`);
  } else if (list.length === 0) {
    say("The pipeline of this kernel has no components.");
  } else {
    say("");
    graph.appendChild(svgOf(list));
  }
  if (focusedId !== null && drawn.has(focusedId)) drawn.get(focusedId).focus({ preventScroll: true });
  showDetails();
  updates += 1;
  body.dataset.updates = String(updates);
  // Measured up to the first frame after the change, so style and layout are included.
  requestAnimationFrame(() =>
    setTimeout(() => {
      performance.measure("zelvo-draw", { start: started, end: performance.now() });
    }),
  );
}

function svgOf(list) {
  const { width, height, place, edges, layers } = layout(list, SIZE);
  const svg = element("svg", {
    width,
    height,
    viewBox: `0 0 ${width} ${height}`,
    role: "group",
    "aria-label": `Pipeline graph: ${list.length} component${list.length === 1 ? "" : "s"}, parents above their children`,
  });
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
  svg.appendChild(defs);

  const lines = element("g", { class: "edges", "aria-hidden": "true" });
  lines.append(...edges.map((points) => element("path", { d: curve(points), "marker-end": "url(#arrow)" })));
  svg.appendChild(lines);

  // Nodes in layer order, so Tab walks the graph from the roots down.
  const now = performance.now();
  const nodes = element("g", { class: "nodes" });
  for (const layer of layers) {
    for (const id of layer) {
      const at = place.get(id);
      nodes.appendChild(nodeOf(components.get(id), at.x, at.y, now));
    }
  }
  svg.appendChild(nodes);
  return svg;
}

// Vertical S-curves between consecutive points: leaving downwards, arriving from above.
function curve(points) {
  let [x0, y0] = points[0];
  let d = `M ${x0} ${y0}`;
  for (let at = 1; at < points.length; at++) {
    const [x1, y1] = points[at];
    if (x1 === x0) {
      d += ` L ${x1} ${y1}`;
    } else {
      const bend = (y1 - y0) / 2;
      d += ` C ${x0} ${y0 + bend} ${x1} ${y1 - bend} ${x1} ${y1}`;
    }
    [x0, y0] = [x1, y1];
  }
  return d;
}

function nodeOf(component, left, top, now) {
  const status = statusOf(component);
  const type = TYPES[component.component_type] || "unknown";
  const classes = ["node", status.cls];
  if ((changedUntil.get(component.id) || 0) > now) classes.push("changed");
  const node = element("g", {
    class: classes.join(" "),
    transform: `translate(${left} ${top})`,
    tabindex: 0,
    role: "button",
    "aria-pressed": component.id === selected ? "true" : "false",
    "aria-label": `${component.id}: ${type} component, ${status.word}, last run ${lastRun(component)}`,
  });
  node.dataset.id = component.id;
  drawn.set(component.id, node);
  node.appendChild(element("title", {}, `${component.id} (${type}, ${status.word})`));
  node.appendChild(element("rect", { class: "box", width: NODE_WIDTH, height: NODE_HEIGHT, rx: 6 }));
  node.appendChild(element("rect", { class: "band", width: 7, height: NODE_HEIGHT, rx: 3 }));
  node.appendChild(element("text", { class: "id", x: 16, y: 19 }, shorten(component.id, ID_CHARS)));
  node.appendChild(element("text", { class: "meta", x: 16, y: 36 }, `${type} · ${status.word}`));
  node.appendChild(element("text", { class: "time", x: 16, y: 52 }, `last run: ${lastRun(component)}`));
  return node;
}

function showDetails() {
  const component = selected === null ? undefined : components.get(selected);
  const fields = document.getElementById("details-fields");
  const block = document.getElementById("details-code-block");
  document.getElementById("details-hint").hidden = component !== undefined;
  fields.hidden = block.hidden = component === undefined;
  if (component === undefined) return;
  document.getElementById("details-id").textContent = component.id;
  document.getElementById("details-type").textContent = TYPES[component.component_type] || "unknown";
  document.getElementById("details-status").textContent = statusOf(component).word;
  document.getElementById("details-last").textContent = lastRun(component);
  document.getElementById("details-parents").textContent = component.parents_id.join(", ") || "none";
  document.getElementById("details-code").textContent = component.code;
}

function select(node) {
  selected = node.dataset.id;
  for (const other of graph.querySelectorAll(".node[aria-pressed='true']")) {
    other.setAttribute("aria-pressed", "false");
  }
  node.setAttribute("aria-pressed", "true");
  showDetails();
}

graph.addEventListener("click", (event) => {
  const node = event.target.closest(".node");
  if (node) select(node);
});
graph.addEventListener("keydown", (event) => {
  const node = event.target.closest(".node");
  if (node && (event.key === "Enter" || event.key === " ")) {
    event.preventDefault();
    select(node);
  }
});

function apply(message, first) {
  if (message.procedure !== "pipeline:updated") return false;
  if (message.status !== "successful") {
    // Only the snapshot of a kernel without a pipeline changes the page.
    return first;
  }
  const changes = message.successful && message.successful.updated_components;
  if (!changes) return false;
  registered = true;
  const [added, revised, deleted] = [changes.added || [], changes.revised || [], changes.deleted || []];
  const until = performance.now() + HIGHLIGHT_MS;
  for (const component of [...added, ...revised]) {
    components.set(component.id, component);
    if (!first) changedUntil.set(component.id, until);
  }
  for (const id of deleted) {
    components.delete(id);
    changedUntil.delete(id);
  }
  if (!first) {
    setTimeout(fade, HIGHLIGHT_MS + 50);
    // Said in words too, for those who do not see the highlight.
    const time = new Date().toLocaleTimeString();
    connection.textContent =
      `Live. Last update at ${time}: ${added.length} added, ${revised.length} revised, ${deleted.length} deleted.`;
  }
  return true;
}

function fade() {
  const now = performance.now();
  for (const node of graph.querySelectorAll(".node.changed")) {
    if ((changedUntil.get(node.dataset.id) || 0) <= now) node.classList.remove("changed");
  }
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  const path = `${baseUrl}zelvo/kernels/${encodeURIComponent(kernelId)}/ws?snapshot=1`;
  const socket = new WebSocket(`${scheme}//${location.host}${path}`);
  let first = true;
  socket.addEventListener("open", () => {
    connection.textContent = "Live: the drawing follows every update.";
  });
  socket.addEventListener("message", (event) => {
    let message;
    try {
      message = JSON.parse(event.data);
    } catch (error) {
      return;
    }
    if (apply(message, first)) draw();
    first = false;
  });
  socket.addEventListener("close", (event) => {
    const why = event.reason ? `${event.reason} ` : "The server ended the connection or could not be reached. ";
    connection.textContent = `Disconnected. ${why}The drawing no longer updates; reload the page to reconnect.`;
    connection.classList.add("closed");
    connection.setAttribute("role", "alert");
    if (first) say("The pipeline could not be loaded.");
  });
}

connect();
