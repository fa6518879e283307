// Table tests of the page's layout, run with node's own test runner (node --test).
import assert from "node:assert/strict";
import { test } from "node:test";

import { CycleError, columnsFor, layout, within } from "../../zelvo/server/static/layout.js";
import { PipelineState } from "../../zelvo/server/static/pipeline.js";

const SIZE = { node: 100, height: 40, gapX: 40, gapY: 10, margin: 10, aspect: 1.5 };
const c = (id, parents_id = [], position = undefined) => ({ id, parents_id, code: "", position });

// The layout as the page makes it: the components parents first, in notebook order.
function drawn(components, size = SIZE) {
  const state = new PipelineState({});
  state.load(components);
  return layout(state.parentsFirst(state.components().map((one) => one.id)).map((id) => state.get(id)), size);
}

// Columns as lists of ids, read down each column.
const columnsOf = (result) => {
  const columns = [];
  for (const id of result.order) {
    const at = result.place.get(id);
    (columns[at.column] ||= [])[at.row] = id;
  }
  return columns;
};

const DIAMOND = [c("a"), c("b", ["a"]), c("c", ["a"]), c("d", ["b", "c"])];

// [name, components, columns read down, left to right]
const ORDERS = [
  ["a lone component", [c("x")], [["x"]]],
  ["notebook positions, not ids nor arrival", [c("z", [], 2), c("m", [], 3), c("b", [], 1)], [["b", "z", "m"]]],
  ["without positions, the pipeline's order", [c("z"), c("m"), c("b")], [["z", "m", "b"]]],
  ["positions first, then the rest as listed", [c("late"), c("p2", [], 7), c("p1", [], 4)], [["p1", "p2", "late"]]],
  ["a parent run from further down comes first", [c("early", ["late"], 2), c("late", [], 5), c("top", [], 1)], [["top", "late", "early"]]],
  ["unknown parents left out", [c("a", ["ghost"]), c("b", ["a", "a"])], [["a", "b"]]],
  ["a long notebook folds into columns", Array.from({ length: 12 }, (_, at) => c(`n${at}`, at ? [`n${at - 1}`] : [], at + 1)), [["n0", "n1", "n2", "n3"], ["n4", "n5", "n6", "n7"], ["n8", "n9", "n10", "n11"]]],
  ["nothing", [], []],
];

for (const [name, components, columns] of ORDERS) {
  test(`order: ${name}`, () => {
    const result = drawn(components);
    assert.deepEqual(columnsOf(result), columns);
    // Boxes never overlap, every edge leaves its parent before its child in reading order, and
    // the drawing holds every box.
    const boxes = Array.from(result.place.values());
    for (const [at, one] of boxes.entries()) {
      assert.ok(one.x + SIZE.node <= result.width && one.y + SIZE.height <= result.height);
      for (const other of boxes.slice(at + 1)) {
        assert.ok(Math.abs(one.x - other.x) >= SIZE.node + SIZE.gapX || Math.abs(one.y - other.y) >= SIZE.height + SIZE.gapY);
      }
    }
    for (const edge of result.edges) assert.ok(result.place.get(edge.from).index < result.place.get(edge.to).index);
  });
}

const shuffled = (list) => [...list].reverse();
const NOTEBOOK = [c("a", [], 1), c("b", ["a"], 3), c("c", ["a"], 4), c("d", ["b", "c"], 6)];
const picture = (result) => ({
  width: result.width,
  height: result.height,
  place: Object.fromEntries(result.place),
  edges: result.edges.map((edge) => [edge.from, edge.to, edge.kind, edge.c]).sort(),
});

const STABLE = [
  ["a reload in another order draws the same", NOTEBOOK, shuffled(NOTEBOOK)],
  ["a cell added by an update goes where a reload puts it", [...NOTEBOOK.slice(1), c("0", [], 2), NOTEBOOK[0]], [NOTEBOOK[0], c("0", [], 2), ...NOTEBOOK.slice(1)]],
];

for (const [name, first, second] of STABLE) {
  test(`stability: ${name}`, () => assert.deepEqual(picture(drawn(first)), picture(drawn(second))));
}

// [name, components, edge "from>to" -> kind]
const EDGES = [
  ["right below: a straight line", [c("a", [], 1), c("b", ["a"], 2)], { "a>b": "next" }],
  ["further down: an arc in the gap", [c("a", [], 1), c("x", [], 2), c("b", ["a"], 3)], { "a>b": "down" }],
  ["in a later column: across", Array.from({ length: 12 }, (_, at) => c(`n${at}`, at === 11 ? ["n0"] : [], at + 1)), { "n0>n11": "across" }],
];

for (const [name, components, kinds] of EDGES) {
  test(`edges: ${name}`, () => {
    const result = drawn(components);
    assert.deepEqual(Object.fromEntries(result.edges.map((edge) => [`${edge.from}>${edge.to}`, edge.kind])), kinds);
    for (const edge of result.edges) {
      const [parent, child] = [result.place.get(edge.from), result.place.get(edge.to)];
      // It starts on its parent's box and ends on its child's; an arc stays in the gap.
      const on = ([x, y], box) => x >= box.x && x <= box.x + SIZE.node && y >= box.y && y <= box.y + SIZE.height;
      assert.ok(on(edge.c.slice(0, 2), parent) && on(edge.c.slice(6), child), edge.d);
      if (edge.kind === "down") assert.ok(edge.box[2] - (parent.x + SIZE.node) <= SIZE.gapX / 0.75);
    }
  });
}

// [name, count, window width / height, columns]
const SHAPES = [
  ["a few cells: one column, as in the notebook", 3, 1.5, 1],
  ["a wide window takes more columns", 40, 3, 7],
  ["a tall window fewer", 40, 0.5, 3],
  ["ten thousand", 10000, 1.5, 73],
];

for (const [name, count, aspect, columns] of SHAPES) {
  test(`columns: ${name}`, () => {
    assert.equal(columnsFor(count, SIZE.node + SIZE.gapX, SIZE.height + SIZE.gapY, aspect), columns);
  });
}

test("within: the boxes that meet a rectangle, in drawing order", () => {
  const result = drawn(Array.from({ length: 12 }, (_, at) => c(`n${at}`, [], at + 1)));
  const rect = (x0, y0, x1, y1) => within(result, [x0, y0, x1, y1], SIZE);
  assert.deepEqual(rect(0, 0, 5, 5), []);
  assert.deepEqual(rect(10, 10, 10, 10), ["n0"]);
  assert.deepEqual(rect(100, 45, 160, 60), ["n0", "n1", "n4", "n5"]);
  assert.deepEqual(rect(-1e9, -1e9, 1e9, 1e9), result.order);
});

const CYCLES = [
  ["its own parent", [c("a", ["a"])], "a"],
  ["two components", [c("a", ["b"]), c("b", ["a"])], "a"],
  ["below a root", [c("r"), c("x", ["r", "z"]), c("y", ["x"]), c("z", ["y"])], "x"],
];

for (const [name, components, id] of CYCLES) {
  test(`cycles refused: ${name}`, () => {
    assert.throws(() => drawn(components), (error) => error instanceof CycleError && error.id === id);
  });
}
