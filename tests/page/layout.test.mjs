// Table tests of the page's layout, run with node's own test runner (node --test).
import assert from "node:assert/strict";
import { test } from "node:test";

import { CycleError, layout } from "../../zelvo/server/static/layout.js";

const SIZE = { node: 100, height: 40, gapX: 20, gapY: 30, lane: 6, lanes: 8, margin: 10 };
const c = (id, ...parents_id) => ({ id, parents_id });

// A pipeline's drawing reduced to what a reader sees: each id's place, each edge's points.
function drawing(components) {
  const result = layout(components, SIZE);
  return {
    width: result.width,
    height: result.height,
    place: Object.fromEntries(result.place),
    rows: result.rows,
    edges: result.edges.map((edge) => [edge.from, edge.to, edge.long, edge.points]).sort(),
    trunks: result.trunks.map((trunk) => [trunk.from, trunk.points]).sort(),
  };
}

const DIAMOND = [c("a"), c("b", "a"), c("c", "a"), c("d", "b", "c")];
const LONG = [c("r"), c("s", "r"), c("t", "s"), c("u", "t", "r"), c("v", "r", "u")];

const ORDERS = [
  ["a lone component", [c("x")], [["x"]]],
  ["each below its deepest parent", DIAMOND, [["a"], ["b", "c"], ["d"]]],
  ["roots and ties by id, not by arrival", [c("z"), c("m"), c("b")], [["b", "m", "z"]]],
  ["a layer follows its parents' places", [c("p"), c("q"), c("y", "q"), c("x", "p")], [["p", "q"], ["x", "y"]]],
  ["unknown parents left out", [c("a", "ghost"), c("b", "a", "a")], [["a"], ["b"]]],
  ["a long edge does not add a layer", LONG, [["r"], ["s"], ["t"], ["u"], ["v"]]],
  ["nothing", [], []],
];

for (const [name, components, rows] of ORDERS) {
  test(`order: ${name}`, () => {
    const result = layout(components, SIZE);
    assert.deepEqual(result.rows, rows);
    // Every parent's box ends above its child's, and boxes of a layer never overlap.
    for (const edge of result.edges) {
      assert.ok(result.place.get(edge.from).y + SIZE.height < result.place.get(edge.to).y);
    }
    for (const row of result.rows) {
      for (let at = 1; at < row.length; at++) {
        assert.ok(result.place.get(row[at - 1]).x + SIZE.node + SIZE.gapX <= result.place.get(row[at]).x);
      }
    }
  });
}

const shuffled = (list) => [...list].reverse();

const STABLE = [
  ["a reload in another order draws the same", DIAMOND, shuffled(DIAMOND)],
  ["a root added by an update goes where a reload puts it", [...DIAMOND.slice(1), c("0"), DIAMOND[0]], [c("0"), ...DIAMOND]],
  ["long edges in any order", LONG, [...LONG].reverse()],
  ["an iterator draws as an array", new Map(LONG.map((one) => [one.id, one])).values(), LONG],
];

for (const [name, first, second] of STABLE) {
  test(`stability: ${name}`, () => {
    assert.deepEqual(drawing(first), drawing(second));
  });
}

test("stability: a leaf added at the bottom moves nothing else", () => {
  const before = drawing(DIAMOND).place;
  const after = drawing([...DIAMOND, c("e", "d")]).place;
  delete after.e;
  assert.deepEqual(after, before);
});

test("long edges: one lane per parent, right of every box, reached through the gaps", () => {
  const result = layout(LONG, SIZE);
  const long = result.edges.filter((edge) => edge.long).map((edge) => [edge.from, edge.to]);
  assert.deepEqual(long.sort(), [["r", "u"], ["r", "v"]]);
  assert.deepEqual(result.trunks.map((trunk) => trunk.from), ["r"]);
  const right = Math.max(...Array.from(result.place.values(), (at) => at.x + SIZE.node));
  const [trunk] = result.trunks;
  const laneX = trunk.points[2][0];
  assert.ok(laneX > right);
  assert.ok(result.width >= laneX);
  // No point of a long edge or trunk lies inside a box, except where it ends on a box's edge.
  const inside = ([x, y]) =>
    Array.from(result.place.values()).some(
      (at) => x > at.x && x < at.x + SIZE.node && y > at.y && y < at.y + SIZE.height,
    );
  for (const points of [trunk.points, ...result.edges.filter((edge) => edge.long).map((edge) => edge.points)]) {
    for (const point of points) assert.ok(!inside(point), `${point} is inside a box`);
    for (let at = 1; at < points.length; at++) {
      // Horizontal runs lie in a gap between layers, vertical ones on the lane or a box's centre.
      const [[x0, y0], [x1, y1]] = [points[at - 1], points[at]];
      assert.ok(x0 === x1 || y0 === y1);
    }
  }
  // The trunk reaches down to the branch of its deepest child.
  const deepest = result.edges.find((edge) => edge.to === "v").points[0];
  assert.deepEqual(trunk.points[3], deepest);
});

test("long edges: trunks whose spans meet take different lanes, others share one", () => {
  const pipeline = [
    c("a"), c("b", "a"), c("c", "b"), c("d", "c", "a"), // a's trunk spans layers 0-3
    c("e", "d"), c("f", "e", "d"), c("g", "f", "d"), // d's spans 3-6: shares a's lane
    c("h", "a"), c("i", "h"), c("j", "i", "b"), // b's spans 1-3: meets a's
  ];
  const lanes = Object.fromEntries(layout(pipeline, SIZE).trunks.map((trunk) => [trunk.from, trunk.lane]));
  assert.equal(lanes.a, lanes.d);
  assert.notEqual(lanes.a, lanes.b);
});

test("long edges: past the most lanes, trunks share them and the width stays bounded", () => {
  // 20 parents whose long edges all span the same layers.
  const pipeline = [c("top")];
  for (let at = 0; at < 20; at++) pipeline.push(c(`p${at}`, "top"), c(`m${at}`, `p${at}`));
  for (let at = 0; at < 20; at++) pipeline.push(c(`z${at}`, `p${at}`, "m0"));
  const result = layout(pipeline, SIZE);
  assert.equal(result.trunks.length, 20);
  assert.deepEqual(new Set(result.trunks.map((trunk) => trunk.lane)), new Set([0, 1, 2, 3, 4, 5, 6, 7]));
  const right = Math.max(...Array.from(result.place.values(), (at) => at.x + SIZE.node));
  assert.equal(result.width, right + SIZE.gapX + 7 * SIZE.lane + SIZE.margin);
});

test("long edges: a fan of many children has one trunk", () => {
  const fan = [c("hub")];
  for (let at = 1; at < 200; at++) fan.push(c(`n${at}`, "hub", ...(at > 1 ? [`n${at - 1}`] : [])));
  const result = layout(fan, SIZE);
  assert.equal(result.edges.length, 199 + 198);
  assert.equal(result.trunks.length, 1);
  assert.equal(result.rows.length, 200);
});

const CYCLES = [
  ["its own parent", [c("a", "a")], "a"],
  ["two components", [c("a", "b"), c("b", "a")], "a"],
  ["below a root", [c("r"), c("x", "r", "z"), c("y", "x"), c("z", "y")], "x"],
];

for (const [name, components, id] of CYCLES) {
  test(`cycles refused: ${name}`, () => {
    assert.throws(() => layout(components, SIZE), (error) => error instanceof CycleError && error.id === id);
  });
}
