// The drawing of a laid-out pipeline: only the components in the window are in the document
// (as SVG), and an update replaces only the nodes it changed; far out, a canvas draws boxes
// without words, and the overview (beside the drawing, never over it) shows the whole.
// Everything a component carries reaches the document as text only.
import { within } from "./layout.js";
import { readable, shorten, statusLabel, title } from "./pipeline.js";

const SVG = "http://www.w3.org/2000/svg";
// One box per component: its title on the first line, its status and last run on the second.
export const SIZE = { node: 260, height: 54, gapX: 64, gapY: 16, margin: 16 };
// What fits of a title in a box, in the monospace font of the titles.
const TITLE_CHARS = 29;
// Below this scale words are unreadable: boxes are drawn on a canvas instead of as elements.
export const FAR_SCALE = 0.3;
// Drawn beyond each side of the window, so that a small pan finds its nodes in place.
export const OVERSCAN = 200;
const OVERVIEW = { width: 240, height: 150 };
// Far out, the least height of a box on screen, in pixels, that gets a label.
const FAR_LABEL_HEIGHT = 11;
// Far out, the least area in square pixels per edge in the window for edges to be drawn.
const FAR_EDGE_AREA = 50;
// The most edges across columns drawn on the far canvas.
const FAR_ACROSS = 600;

export function element(name, attributes = {}, text = null) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (text !== null) node.textContent = text;
  return node;
}

const meets = (box, rect) => box[0] <= rect[2] && box[2] >= rect[0] && box[1] <= rect[3] && box[3] >= rect[1];

export class Drawing {
  // page: {graph, far, farEdges, overview: elements; protocol; state: PipelineState; isSelected(id),
  // changedUntil: Map id -> time until which it shows as just changed}.
  constructor(page) {
    Object.assign(this, page);
    this.shown = null;
    // Drawn elements: id -> {element, component, x, y}; edge key -> {element, d, cls}.
    this.nodes = new Map();
    this.edges = new Map();
    this.colours = new Map();
    // status -> its class, made on first use.
    this.classes = null;
    // The view and layout the far canvas's edges were last drawn for.
    this.farDrawn = null;
    // The window's rectangle as last drawn, and the overview's pending repaint.
    this.lastRect = null;
    this.overviewTimer = 0;
    this.overviewImage = null;
    this.overviewScale = 1;
    this.svg = element("svg", { class: "drawing", role: "group" });
    this.world = element("g");
    this.edgeLayer = element("g", { class: "edges", "aria-hidden": "true" });
    this.nodeLayer = element("g", { class: "nodes" });
    // The selected component's edges, over the boxes so that they can be followed whole.
    this.litLayer = element("g", { class: "edges lit", "aria-hidden": "true" });
    const defs = element("defs");
    for (const [id, cls] of [["arrow", "arrow"], ["arrow-lit", "arrow lit"]]) {
      const marker = element("marker", {
        id,
        viewBox: "0 0 10 10",
        refX: 10,
        refY: 5,
        // In drawing units: a lit edge's wider line keeps the same head.
        markerUnits: "userSpaceOnUse",
        markerWidth: 10,
        markerHeight: 10,
        orient: "auto-start-reverse",
      });
      marker.appendChild(element("path", { d: "M 0 0 L 10 5 L 0 10 z", class: cls }));
      defs.appendChild(marker);
    }
    this.world.append(this.edgeLayer, this.nodeLayer, this.litLayer);
    this.svg.append(defs, this.world);
    this.graph.prepend(this.svg);
  }

  glyph(status) {
    return (this.protocol.glyphs && this.protocol.glyphs[status]) || "?";
  }

  statusClass(component) {
    if (!this.classes) this.classes = new Map(this.protocol.statuses.map(([status]) => [status, `status-${status}`]));
    return this.classes.get(component.execution_status) || "status-unknown";
  }

  setShown(shown) {
    this.shown = shown;
    this.refreshOverview();
  }

  // Paints the overview again in a task of its own, after the drawing's: it is not needed for
  // the first frame.
  refreshOverview() {
    if (this.overviewTimer) return;
    this.overviewTimer = setTimeout(() => {
      this.overviewTimer = 0;
      this.paintOverview();
      if (this.lastRect && !this.overview.hidden) this.paintOverviewWindow(this.lastRect);
    });
  }

  // Brings the drawing to the view: {x, y, scale} and the window's size in pixels.
  render(view, width, height) {
    this.world.setAttribute("transform", `scale(${view.scale}) translate(${-view.x} ${-view.y})`);
    const shown = this.shown;
    const drawing = shown !== null && shown.order.length > 0;
    this.svg.style.display = drawing ? "" : "none";
    if (!drawing) {
      this.overview.hidden = true;
      this.clear();
      this.far.hidden = this.farEdges.hidden = true;
      return;
    }
    const rect = (margin) => {
      const pad = margin / view.scale;
      return [view.x - pad, view.y - pad, view.x + width / view.scale + pad, view.y + height / view.scale + pad];
    };
    if (view.scale < FAR_SCALE) {
      this.clear();
      this.paintFar(view, width, height, rect(0));
    } else {
      this.far.hidden = this.farEdges.hidden = true;
      this.reconcile(rect(OVERSCAN));
    }
    // The overview is for a drawing larger than the window.
    this.lastRect = rect(0);
    const [x0, y0, x1, y1] = this.lastRect;
    this.overview.hidden = x0 <= 0 && y0 <= 0 && x1 >= shown.width && y1 >= shown.height;
    this.paintOverviewWindow(this.lastRect);
  }

  clear() {
    for (const map of [this.nodes, this.edges]) {
      for (const entry of map.values()) entry.element.remove();
      map.clear();
    }
  }

  // Brings the document to what should be drawn: a node is replaced only when its component
  // changed, moved when only its place did, and the rest is left alone.
  reconcile(rect) {
    const shown = this.shown;
    const state = this.state;
    const ids = within(shown, rect, SIZE);
    const active = document.activeElement;
    const keyboard = active && active.closest ? active.closest(".node") : null;
    const keyboardId = keyboard ? keyboard.dataset.id : null;
    const now = performance.now();
    const wanted = new Set(ids);
    for (const [id, entry] of this.nodes) {
      if (!wanted.has(id)) {
        entry.element.remove();
        this.nodes.delete(id);
      }
    }
    let cursor = this.nodeLayer.firstChild;
    for (const id of ids) {
      const component = state.get(id);
      const at = shown.place.get(id);
      let entry = this.nodes.get(id);
      if (entry && entry.component !== component) {
        const fresh = this.nodeOf(component);
        entry.element.replaceWith(fresh);
        if (cursor === entry.element) cursor = fresh;
        entry = { element: fresh, component, x: null, y: null };
        this.nodes.set(id, entry);
      } else if (!entry) {
        entry = { element: this.nodeOf(component), component, x: null, y: null };
        this.nodes.set(id, entry);
      }
      const node = entry.element;
      if (entry.x !== at.x || entry.y !== at.y) {
        node.setAttribute("transform", `translate(${at.x} ${at.y})`);
        entry.x = at.x;
        entry.y = at.y;
      }
      node.classList.toggle("changed", (this.changedUntil.get(id) || 0) > now);
      const pressed = this.isSelected(id) ? "true" : "false";
      if (node.getAttribute("aria-pressed") !== pressed) node.setAttribute("aria-pressed", pressed);
      // Document order follows the notebook, so Tab walks the drawing as the notebook reads.
      if (node === cursor) cursor = cursor.nextSibling;
      else this.nodeLayer.insertBefore(node, cursor);
    }
    // A node replaced or moved in the document hands the keyboard focus to its successor.
    const successor = keyboardId !== null && this.nodes.get(keyboardId);
    if (successor && document.activeElement !== successor.element) successor.element.focus({ preventScroll: true });

    const keys = new Set();
    for (const edge of shown.edges) {
      if (!meets(edge.box, rect)) continue;
      const key = `${edge.from}\u0000${edge.to}`;
      keys.add(key);
      const lit = this.isSelected(edge.from) || this.isSelected(edge.to);
      const cls = `${edge.kind}${state.newer(edge.from, edge.to) ? " newer" : ""}`;
      let entry = this.edges.get(key);
      if (!entry) {
        entry = { element: element("path"), d: null, cls: null, lit: null };
        entry.element.dataset.from = edge.from;
        entry.element.dataset.to = edge.to;
        this.edges.set(key, entry);
      }
      if (entry.lit !== lit) {
        entry.element.setAttribute("marker-end", lit ? "url(#arrow-lit)" : "url(#arrow)");
        (lit ? this.litLayer : this.edgeLayer).appendChild(entry.element);
        entry.lit = lit;
      }
      const d = edge.d;
      if (entry.d !== d) {
        entry.element.setAttribute("d", d);
        entry.d = d;
      }
      if (entry.cls !== cls) {
        entry.element.setAttribute("class", cls);
        entry.cls = cls;
      }
    }
    for (const [key, entry] of this.edges) {
      if (!keys.has(key)) {
        entry.element.remove();
        this.edges.delete(key);
      }
    }
  }

  // Marks the nodes in the document whose highlight has run out as no longer changed.
  fade() {
    const now = performance.now();
    for (const [id, entry] of this.nodes) {
      if ((this.changedUntil.get(id) || 0) <= now) entry.element.classList.remove("changed");
    }
  }

  nodeOf(component) {
    const word = statusLabel(this.protocol, component.execution_status);
    const glyph = this.glyph(component.execution_status);
    const name = title(component);
    const ran = readable(component.last_execution);
    const node = element("g", {
      class: `node ${this.statusClass(component)}`,
      tabindex: 0,
      role: "button",
      "aria-label": `${name}: ${word}, last run ${ran}`,
    });
    node.dataset.id = component.id;
    node.appendChild(element("title", {}, `${name}\n${word}, last run: ${component.last_execution || "never"}\nid: ${component.id}`));
    // The ring shows a recent change, outside the box, in a colour no status has.
    node.appendChild(element("rect", { class: "ring", x: -5, y: -5, width: SIZE.node + 10, height: SIZE.height + 10, rx: 9 }));
    node.appendChild(element("rect", { class: "box", width: SIZE.node, height: SIZE.height, rx: 6 }));
    node.appendChild(element("rect", { class: "band", width: 7, height: SIZE.height, rx: 3 }));
    node.appendChild(element("text", { class: "title", x: 16, y: 22 }, shorten(name, TITLE_CHARS)));
    const meta = element("text", { class: "meta", x: 16, y: 42 });
    meta.append(element("tspan", { class: "glyph" }, glyph), element("tspan", { class: "word", dx: 5 }, word));
    // The first type is the usual one; any other (a parameter) is named.
    const types = this.protocol.component_types || [];
    const type = types.indexOf(component.component_type) > 0 ? `${component.component_type} · ` : "";
    meta.append(element("tspan", { class: "time", dx: 8 }, `${type}ran ${ran}`));
    node.appendChild(meta);
    return node;
  }

  colourOf(component) {
    const cls = this.statusClass(component);
    if (!this.colours.has(cls)) {
      const probe = document.createElement("span");
      probe.className = cls;
      document.body.appendChild(probe);
      this.colours.set(cls, getComputedStyle(probe).getPropertyValue("--swatch").trim() || "#888");
      probe.remove();
    }
    return this.colours.get(cls);
  }

  paintFar(view, width, height, rect) {
    const far = this.far;
    far.hidden = false;
    const context = sized(far, width, height);
    context.clearRect(0, 0, width, height);
    // The edges lie on a canvas of their own below: an update that changes no place (a
    // status) leaves them as they were drawn.
    this.farEdges.hidden = false;
    const key = `${view.x} ${view.y} ${view.scale} ${width} ${height} ${window.devicePixelRatio || 1}`;
    if (!this.farDrawn || this.farDrawn.key !== key || this.farDrawn.shown !== this.shown) {
      this.paintFarEdges(sized(this.farEdges, width, height), view, rect);
      this.farDrawn = { key, shown: this.shown };
    }
    context.save();
    context.scale(view.scale, view.scale);
    context.translate(-view.x, -view.y);
    const paths = new Map();
    const ids = within(this.shown, rect, SIZE);
    for (const id of ids) {
      const at = this.shown.place.get(id);
      const colour = this.colourOf(this.state.get(id));
      if (!paths.has(colour)) paths.set(colour, new Path2D());
      paths.get(colour).rect(at.x, at.y, SIZE.node, SIZE.height);
    }
    for (const [colour, path] of paths) {
      context.fillStyle = colour;
      context.fill(path);
    }
    context.restore();
    this.labelFar(context, view, ids);
  }

  paintFarEdges(context, view, rect) {
    context.save();
    context.scale(view.scale, view.scale);
    context.translate(-view.x, -view.y);
    // Light, so that the boxes stand out of the many edges of a large drawing.
    context.strokeStyle = "rgb(140 149 159 / 0.35)";
    context.lineWidth = 1 / view.scale;
    // Edges across columns are long on screen and costly to rasterise: past a few, far out,
    // only the edges within a column are drawn.
    const near = [];
    const across = [];
    for (const edge of this.shown.edges) {
      if (meets(edge.box, rect)) (edge.kind === "across" ? across : near).push(edge);
    }
    const drawn = across.length <= FAR_ACROSS ? [...near, ...across] : near;
    // Past one edge per so many square pixels the edges are a haze that only hides the boxes.
    const [width, height] = [context.canvas.width, context.canvas.height];
    if (drawn.length * FAR_EDGE_AREA > width * height) {
      context.restore();
      return;
    }
    context.beginPath();
    for (const edge of drawn) {
      const c = edge.c;
      context.moveTo(c[0], c[1]);
      context.bezierCurveTo(c[2], c[3], c[4], c[5], c[6], c[7]);
    }
    context.stroke();
    context.restore();
  }

  // Far out, a box still tall enough for small print shows the start of its title (its
  // position first), so that a notebook of a few hundred cells can be read at Fit.
  labelFar(context, view, ids) {
    const height = SIZE.height * view.scale;
    if (height < FAR_LABEL_HEIGHT) return;
    const size = Math.min(12, Math.floor(height * 0.55));
    const chars = Math.floor((SIZE.node * view.scale - 6) / (size * 0.62));
    if (chars < 4) return;
    context.font = `600 ${size}px ui-monospace, Menlo, Consolas, monospace`;
    context.fillStyle = "#ffffff";
    context.textBaseline = "middle";
    for (const id of ids) {
      const at = this.shown.place.get(id);
      const component = this.state.get(id);
      const label = `${this.glyph(component.execution_status)} ${shorten(title(component), chars - 2)}`;
      context.fillText(label, (at.x - view.x) * view.scale + 4, (at.y + SIZE.height / 2 - view.y) * view.scale);
    }
  }

  paintOverview() {
    this.overviewImage = null;
    const shown = this.shown;
    if (!shown || !shown.width) return;
    this.overviewScale = Math.min(OVERVIEW.width / shown.width, OVERVIEW.height / shown.height);
    const image = document.createElement("canvas");
    const context = sized(image, OVERVIEW.width, OVERVIEW.height);
    const s = this.overviewScale;
    const w = Math.max(1, SIZE.node * s);
    const h = Math.max(1, SIZE.height * s);
    // One path per colour: far fewer state changes than a fill per box.
    const paths = new Map();
    for (const [id, at] of shown.place) {
      const colour = this.colourOf(this.state.get(id));
      if (!paths.has(colour)) paths.set(colour, new Path2D());
      paths.get(colour).rect(at.x * s, at.y * s, w, h);
    }
    for (const [colour, path] of paths) {
      context.fillStyle = colour;
      context.fill(path);
    }
    this.overviewImage = image;
  }

  paintOverviewWindow(rect) {
    const context = sized(this.overview, OVERVIEW.width, OVERVIEW.height);
    context.clearRect(0, 0, OVERVIEW.width, OVERVIEW.height);
    if (this.overviewImage) context.drawImage(this.overviewImage, 0, 0, OVERVIEW.width, OVERVIEW.height);
    const s = this.overviewScale;
    context.strokeStyle = "#0969da";
    context.lineWidth = 1.5;
    const [x0, y0, x1, y1] = rect.map((value) => value * s);
    const [left, top] = [Math.max(1, x0), Math.max(1, y0)];
    const [right, bottom] = [Math.min(OVERVIEW.width - 1, x1), Math.min(OVERVIEW.height - 1, y1)];
    context.strokeRect(left, top, Math.max(3, right - left), Math.max(3, bottom - top));
  }

  // The drawing's point under a point of the overview (client coordinates).
  fromOverview(clientX, clientY) {
    const box = this.overview.getBoundingClientRect();
    return [(clientX - box.left) / this.overviewScale, (clientY - box.top) / this.overviewScale];
  }
}

function sized(canvas, width, height) {
  const ratio = window.devicePixelRatio || 1;
  canvas.width = Math.max(1, Math.round(width * ratio));
  canvas.height = Math.max(1, Math.round(height * ratio));
  const context = canvas.getContext("2d");
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  return context;
}
