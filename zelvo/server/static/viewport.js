// The window onto the drawing: where it looks and how near, and the pointer, wheel and keys
// that move it.
import { FAR_SCALE, SIZE } from "./drawing.js";

const MAX_SCALE = 2;

export class Viewport {
  // graph: the drawing's element; changed(): called when the view moved (draw it again).
  constructor(graph, changed) {
    this.graph = graph;
    this.changed = changed;
    // World point at the window's top-left corner, and pixels per unit.
    this.view = { x: 0, y: 0, scale: 1 };
    this.bounds = null;
    // Whether the view is as fit() left it: a resized window then fits again.
    this.fitted = false;
  }

  get width() {
    return this.graph.clientWidth;
  }

  get height() {
    return this.graph.clientHeight;
  }

  // The rectangle in drawing units that is in the window.
  windowRect() {
    const { x, y, scale } = this.view;
    return [x, y, x + this.width / scale, y + this.height / scale];
  }

  // The drawing's size, for fitting and for the least zoom.
  setBounds(width, height) {
    this.bounds = width && height ? { width, height } : null;
  }

  scaleToFit(box) {
    return Math.min(this.width / (box[2] - box[0]), this.height / (box[3] - box[1]));
  }

  clampScale(scale) {
    const whole = this.bounds ? [0, 0, this.bounds.width, this.bounds.height] : null;
    const least = whole ? Math.min(FAR_SCALE, this.scaleToFit(whole) / 2) : FAR_SCALE;
    return Math.min(MAX_SCALE, Math.max(least, scale));
  }

  // Shows the box [x0, y0, x1, y1] whole and centred (the whole drawing without one), never
  // larger than actual size.
  fit(box = null) {
    if (!box) {
      if (!this.bounds) return;
      box = [0, 0, this.bounds.width, this.bounds.height];
    }
    const scale = Math.min(1, this.scaleToFit(box));
    this.view.scale = scale;
    this.view.x = (box[0] + box[2]) / 2 - this.width / scale / 2;
    this.view.y = (box[1] + box[3]) / 2 - this.height / scale / 2;
    this.fitted = true;
    this.changed();
  }

  zoomAt(factor, screenX = this.width / 2, screenY = this.height / 2) {
    const view = this.view;
    const scale = this.clampScale(view.scale * factor);
    view.x += screenX / view.scale - screenX / scale;
    view.y += screenY / view.scale - screenY / scale;
    view.scale = scale;
    this.fitted = false;
    this.changed();
  }

  actualSize() {
    this.zoomAt(1 / this.view.scale);
  }

  panBy(dx, dy) {
    this.view.x += dx / this.view.scale;
    this.view.y += dy / this.view.scale;
    this.fitted = false;
    this.changed();
  }

  centreAt(x, y) {
    this.view.x = x - this.width / this.view.scale / 2;
    this.view.y = y - this.height / this.view.scale / 2;
    this.fitted = false;
    this.changed();
  }

  // Brings a box at (x, y) into the window, readable, unless it is in it already.
  reveal(x, y) {
    const [x0, y0, x1, y1] = this.windowRect();
    const readable = this.view.scale >= FAR_SCALE;
    if (readable && x >= x0 && y >= y0 && x + SIZE.node <= x1 && y + SIZE.height <= y1) return;
    if (!readable) this.view.scale = 1;
    this.centreAt(x + SIZE.node / 2, y + SIZE.height / 2);
  }
}

// The pointer, wheel and keys over the drawing; select(id) when a component is clicked or
// chosen with Enter.
export function bindInput(viewport, { select, fit }) {
  const graph = viewport.graph;
  let drag = null;
  graph.addEventListener("pointerdown", (event) => {
    if (event.button !== 0) return;
    drag = { x: event.clientX, y: event.clientY, moved: false, id: event.pointerId };
  });
  graph.addEventListener("pointermove", (event) => {
    if (!drag || drag.id !== event.pointerId) return;
    const [dx, dy] = [event.clientX - drag.x, event.clientY - drag.y];
    if (!drag.moved && Math.hypot(dx, dy) < 4) return;
    if (!drag.moved) graph.setPointerCapture(event.pointerId);
    drag.moved = true;
    graph.classList.add("dragging");
    viewport.panBy(-dx, -dy);
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
        viewport.zoomAt(Math.exp(-event.deltaY * unit * 0.002), event.clientX - box.left, event.clientY - box.top);
      } else {
        viewport.panBy(event.deltaX * unit, event.deltaY * unit);
      }
    },
    { passive: false },
  );

  const keys = {
    ArrowLeft: () => viewport.panBy(-80, 0),
    ArrowRight: () => viewport.panBy(80, 0),
    ArrowUp: () => viewport.panBy(0, -80),
    ArrowDown: () => viewport.panBy(0, 80),
    PageUp: () => viewport.panBy(0, -graph.clientHeight * 0.8),
    PageDown: () => viewport.panBy(0, graph.clientHeight * 0.8),
    "+": () => viewport.zoomAt(1.25),
    "=": () => viewport.zoomAt(1.25),
    "-": () => viewport.zoomAt(0.8),
    0: () => viewport.actualSize(),
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
    const action = keys[event.key];
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
}
