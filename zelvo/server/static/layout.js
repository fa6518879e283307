// The layout of a pipeline that reads like its notebook: the components go down a column in
// notebook order (parents first), and the columns follow one another from left to right like a
// newspaper's, as many as make the drawing's shape closest to the window's. A component's
// place says where it is in the notebook; dependencies are the edges. Time and memory are
// O(V + E), and the drawing depends only on the order it is given.

// The pipeline has a cycle: it cannot be drawn parents first (the server refuses such
// pipelines).
export class CycleError extends Error {
  constructor(id) {
    super(`the pipeline has a cycle through '${id}'`);
    this.name = "CycleError";
    this.id = id;
  }
}

// How many columns fit `count` boxes of `stepX` by `stepY` best into a window of width:height
// `aspect`: the most boxes' area on screen once fitted, and fewer columns when it is a tie.
export function columnsFor(count, stepX, stepY, aspect, margin = 0) {
  let best = 1;
  let bestScale = 0;
  for (let columns = 1; columns <= Math.max(1, count); columns++) {
    const rows = Math.ceil(count / columns);
    const scale = Math.min(aspect / (columns * stepX + 2 * margin), 1 / (rows * stepY + 2 * margin));
    if (scale > bestScale * (1 + 1e-9)) {
      best = columns;
      bestScale = scale;
    }
    // Past one row, more columns only widen the drawing.
    if (rows === 1) break;
  }
  return best;
}

// components: {id, parents_id} in the order to draw them, every parent before its children
// (PipelineState.parentsFirst gives that order); parents that are not among them are left out.
// size: {node, height, gapX, gapY, margin} in pixels, and aspect: the window's width / height.
// Returns {width, height, columns, perColumn, place, order, edges}:
// - place maps an id to {x, y, column, row, index}, the top-left corner of its box;
// - order holds the ids in drawing order (down each column, then the next column);
// - edges has one Edge per dependency among them (see below).
// Throws CycleError when a component comes before one of its parents (or is its own).
export function layout(components, size) {
  const order = [];
  const parents = [];
  const index = new Map();
  for (const component of components) {
    if (index.has(component.id)) continue;
    index.set(component.id, order.length);
    order.push(component.id);
    parents.push(component.parents_id);
  }
  const count = order.length;
  const stepX = size.node + size.gapX;
  const stepY = size.height + size.gapY;
  const columns = count ? columnsFor(count, stepX, stepY, size.aspect ?? 1.6, size.margin) : 0;
  const perColumn = count ? Math.ceil(count / columns) : 0;
  const xOf = (at) => size.margin + Math.floor(at / perColumn) * stepX;
  const yOf = (at) => size.margin + (at % perColumn) * stepY;

  const place = new Map();
  const edges = [];
  // The child whose parents were last looked at, per parent: a parent listed twice is one edge.
  const lastChild = new Int32Array(count).fill(-1);
  for (let at = 0; at < count; at++) {
    const id = order[at];
    const x = xOf(at);
    const y = yOf(at);
    place.set(id, { x, y, column: Math.floor(at / perColumn), row: at % perColumn, index: at });
    for (const parent of parents[at]) {
      const from = index.get(parent);
      if (from === undefined || lastChild[from] === at) continue;
      if (from >= at) throw new CycleError(id);
      lastChild[from] = at;
      edges.push(edgeBetween(order[from], xOf(from), yOf(from), id, x, y, size, at - from));
    }
  }
  const usedRows = Math.min(count, perColumn);
  return {
    width: columns ? 2 * size.margin + columns * stepX - size.gapX : 0,
    height: usedRows ? 2 * size.margin + usedRows * stepY - size.gapY : 0,
    columns,
    perColumn,
    place,
    order,
    edges,
  };
}

// An edge from the parent's box at (px, py) to the child's at (x, y), as one cubic curve:
// - "next": the child is right below: from the parent's bottom to the child's top;
// - "down": lower in the same column: an arc out into the gap on the column's right, wider
//   the more rows it spans;
// - "across": in a later column: from the parent's right side to the child's left side.
function edgeBetween(from, px, py, to, x, y, size, distance) {
  const mid = size.height / 2;
  if (px === x && distance === 1) {
    const cx = x + size.node / 2;
    return new Edge(from, to, "next", [cx, py + size.height, cx, py + size.height, cx, y, cx, y]);
  }
  if (px === x) {
    // Its farthest point lies at 3/4 of the bulge: it stays within the gap.
    const bulge = Math.min((size.gapX * 0.9) / 0.75, 14 + 4 * distance);
    const rx = x + size.node;
    return new Edge(from, to, "down", [rx, py + mid, rx + bulge, py + mid, rx + bulge, y + mid, rx, y + mid]);
  }
  const [x0, y0, x1, y1] = [px + size.node, py + mid, x, y + mid];
  const pull = (x1 - x0) / 2;
  return new Edge(from, to, "across", [x0, y0, x0 + pull, y0, x1 - pull, y1, x1, y1]);
}

// A dependency drawn as one cubic curve: c holds its start, two control points and its end;
// box is its bounding box (the curve lies within its points' hull).
export class Edge {
  constructor(from, to, kind, c) {
    this.from = from;
    this.to = to;
    this.kind = kind;
    this.c = c;
    this.box = [
      Math.min(c[0], c[2], c[4], c[6]),
      Math.min(c[1], c[3], c[5], c[7]),
      Math.max(c[0], c[2], c[4], c[6]),
      Math.max(c[1], c[3], c[5], c[7]),
    ];
  }
  // SVG path data, made only for the edges that are drawn.
  get d() {
    const c = this.c;
    if (this.kind === "next") return `M ${c[0]} ${c[1]} L ${c[6]} ${c[7]}`;
    return `M ${c[0]} ${c[1]} C ${c[2]} ${c[3]} ${c[4]} ${c[5]} ${c[6]} ${c[7]}`;
  }
}

// The ids whose boxes meet the rectangle [x0, y0, x1, y1]: columns and rows by arithmetic.
export function within(shown, rect, size) {
  const ids = [];
  if (!shown.order.length) return ids;
  const stepX = size.node + size.gapX;
  const stepY = size.height + size.gapY;
  const first = Math.max(0, Math.ceil((rect[0] - size.margin - size.node) / stepX));
  const last = Math.min(shown.columns - 1, Math.floor((rect[2] - size.margin) / stepX));
  const top = Math.max(0, Math.ceil((rect[1] - size.margin - size.height) / stepY));
  const bottom = Math.min(shown.perColumn - 1, Math.floor((rect[3] - size.margin) / stepY));
  for (let column = first; column <= last; column++) {
    for (let row = top; row <= bottom; row++) {
      const at = column * shown.perColumn + row;
      if (at >= shown.order.length) break;
      ids.push(shown.order[at]);
    }
  }
  return ids;
}
