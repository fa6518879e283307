// Table tests of the pipeline's state, walks and words (zelvo/server/static/pipeline.js).
import assert from "node:assert/strict";
import { test } from "node:test";

import { PipelineState, reason, snippet, statusLabel, title } from "../../zelvo/server/static/pipeline.js";

// The server's own protocol data (test_scripts.py passes it); times are read in UTC.
const PROTOCOL = JSON.parse(process.env.ZELVO_PROTOCOL);
const S = PROTOCOL.status;
const NOW = new Date("2026-12-09T18:00:00Z");
const HOSTILE = "<img src=x onerror=alert(1)>&amp;\u202e";

const c = (id, parents_id = [], more = {}) => ({
  id,
  component_type: "code",
  parents_id,
  code: `x_${id} = 1`,
  execution_status: S.succeeded,
  last_execution: null,
  ...more,
});
const message = (changes, status = PROTOCOL.message.successful) => ({
  procedure: PROTOCOL.procedure,
  status,
  [status]: status === PROTOCOL.message.successful ? { updated_components: changes } : undefined,
  msg: "no pipeline",
});
const stateOf = (components) => {
  const state = new PipelineState(PROTOCOL);
  state.applyMessage(message({ added: components }), { snapshot: true });
  return state;
};

const DIAMOND = [c("a"), c("b", ["a"]), c("c", ["a"]), c("d", ["b", "c"])];

// [name, components first held, message, snapshot?, kind, changed, structural, ids after]
const MESSAGES = [
  ["a snapshot fills", [], message({ added: DIAMOND }), true, "update", "abcd", true, "abcd"],
  ["a reconnection's snapshot deletes what it lacks", DIAMOND, message({ added: DIAMOND.slice(0, 2) }), true, "update", "cd", true, "ab"],
  ["an update adds, revises and deletes", DIAMOND, message({ added: [c("e", ["d"])], revised: [c("a", [], { code: "y = 2" })], deleted: ["b"] }), false, "update", "abe", true, "acde"],
  ["a status change keeps the layout", DIAMOND, message({ revised: [c("b", ["a"], { execution_status: S.failed })] }), false, "update", "b", false, "abcd"],
  ["a new position lays out again", DIAMOND, message({ revised: [c("b", ["a"], { position: 7 })] }), false, "update", "b", true, "abcd"],
  ["new parents lay out again", DIAMOND, message({ revised: [c("d", ["b"])] }), false, "update", "d", true, "abcd"],
  ["a revision that changes nothing", DIAMOND, message({ revised: [c("c", ["a"])] }), false, "update", "", false, "abcd"],
  ["a failed snapshot: no pipeline any more", DIAMOND, message({}, PROTOCOL.message.failed), true, "update", "abcd", true, ""],
  ["a failed relayed message changes nothing", DIAMOND, message({}, PROTOCOL.message.failed), false, "other", "", false, "abcd"],
  ["another procedure is not for the state", DIAMOND, { procedure: "other:thing", status: "successful" }, false, "none", "", false, "abcd"],
  ["malformed entries are passed over", [], message({ added: [null, { id: 3 }, c("a")], deleted: [5] }), false, "update", "a", true, "a"],
];

for (const [name, held, sent, snapshot, kind, changed, structural, after] of MESSAGES) {
  test(`applyMessage: ${name}`, () => {
    const state = stateOf(held);
    const result = state.applyMessage(sent, { snapshot });
    assert.equal(result.kind, kind);
    assert.deepEqual([...result.changed].sort().join(""), changed);
    assert.equal(result.structural, structural);
    assert.equal(state.components().map((one) => one.id).sort().join(""), after);
  });
}

// A notebook run out of order: cell [5] defines what cell [2] reads.
const NOTEBOOK = [
  c("late", [], { position: 5 }),
  c("early", ["late"], { position: 2 }),
  c("first", [], { position: 1 }),
  c("loose"),
  c("looser", ["loose"]),
];

// [name, call, expected]
const WALKS = [
  ["notebook order: positions, then the rest as listed", (s) => s.components().map((one) => one.id), ["first", "early", "late", "loose", "looser"]],
  ["parents first, then notebook order among the ready", (s) => s.parentsFirst(["early", "late", "first", "looser", "loose"]), ["first", "late", "early", "loose", "looser"]],
  ["parents first counts only the edges among the ids", (s) => s.parentsFirst(["looser", "early"]), ["early", "looser"]],
  ["ancestors", (s) => [...s.ancestors("d")].sort(), ["a", "b", "c"], DIAMOND],
  ["descendants", (s) => [...s.descendants("a")].sort(), ["b", "c", "d"], DIAMOND],
  ["no walk out of an unknown id", (s) => [...s.ancestors("ghost"), ...s.descendants("ghost")], [], DIAMOND],
  ["parents not in the pipeline are left out", (s) => [...s.ancestors("x")], [], [c("x", ["ghost"])]],
  ["a cycle does not hang a walk", (s) => [[...s.descendants("p")].sort(), s.parentsFirst(["q", "p"])], [["q"], ["p", "q"]], [c("p", ["q"]), c("q", ["p"])]],
  ["counts per status, unknown only when there is one", (s) => [...s.counts()], [...PROTOCOL.statuses.map(([status]) => [status, status === S.failed ? 1 : status === S.succeeded ? 1 : 0]), ["unknown", 1]], [c("a"), c("b", [], { execution_status: S.failed }), c("c", [], { execution_status: "exploded" })]],
];

for (const [name, call, expected, components = NOTEBOOK] of WALKS) {
  test(`walks: ${name}`, () => {
    assert.deepEqual(call(stateOf(components)), expected);
  });
}

const TITLES = [
  ["position and first line", c("u", [], { position: 12, code: "\n\n   df = load(path)  \nmore" }), "[12] df = load(path)"],
  ["no position: the start of the id", c("9f1c2e4b-aaaa-bbbb", [], { code: "plot()" }), "9f1c2e4b-aa… plot()"],
  ["an empty cell", c("u", [], { position: 3, code: " \n" }), "[3] (empty)"],
  ["a long line is cut", c("u", [], { position: 1, code: "x".repeat(200) }), `[1] ${"x".repeat(79)}…`],
  ["a position that is not a count is not shown", c("u", [], { position: 0, code: "y" }), "u y"],
  ["hostile code stays as it is", c("u", [], { position: 2, code: HOSTILE }), `[2] ${HOSTILE}`],
];

for (const [name, component, expected] of TITLES) {
  test(`title: ${name}`, () => assert.equal(title(component), expected));
}

const RAN = "2026-12-09T14:15:07Z";
const REASONS = [
  ["failed with its error", c("f", [], { execution_status: S.failed, error: { ename: "ValueError", evalue: HOSTILE, traceback: [] } }), `failed: ValueError: ${HOSTILE}`],
  ["failed without an error said", c("f", [], { execution_status: S.failed }), "failed"],
  ["out of date: the names it reads", c("o", ["a"], { execution_status: S.invalid, outdated_by: { id: "a", last_execution: RAN, names: ["rate"] } }), "out of date: reads `rate`, which cell [1] changed at 14:15:07"],
  ["out of date: no names", c("o", ["a"], { execution_status: S.invalid, outdated_by: { id: "a", last_execution: RAN, names: [] } }), "out of date: cell [1] ran again at 14:15:07"],
  ["out of date, found by the walk", c("o", ["b"], { execution_status: S.invalid, last_execution: "2026-12-09T14:00:00Z" }), "out of date: cell [1] ran again at 14:15:07"],
  ["out of date, an ancestor the page does not hold", c("o", [], { execution_status: S.invalid, outdated_by: { id: "gone", last_execution: null, names: ["a", "b"] } }), "out of date: reads `a`, `b`, which component gone changed"],
  ["not run since a restart", c("n", [], { execution_status: S.not_run, last_execution: RAN }), "not run since the kernel restarted (last ran at 14:15:07)"],
  ["never run", c("n", [], { execution_status: S.not_run }), "not run in this kernel"],
  ["succeeded says nothing more", c("s"), ""],
];

for (const [name, component, expected] of REASONS) {
  test(`reason: ${name}`, () => {
    const state = stateOf([c("a", [], { position: 1, last_execution: RAN }), c("b", ["a"], { last_execution: "2026-12-09T13:00:00Z" }), component]);
    assert.equal(reason(state.get(component.id), state, NOW), expected);
  });
}

const WORDS = [
  ...PROTOCOL.statuses.map(([status, word]) => [status, word]),
  ["exploded", "unknown"],
];

for (const [status, word] of WORDS) {
  test(`statusLabel: ${status}`, () => assert.equal(statusLabel(PROTOCOL, status), word));
}

const SNIPPETS = [
  ["the matching line", "import os\nrate = 0.5\nplot(rate)", "RATE =", "rate = 0.5"],
  ["the first line when only the id matched", "\nimport os\nx", "zzz", "import os"],
  ["a long line is cut around the match", `${"a".repeat(100)}needle${"b".repeat(100)}`, "needle", `…${"a".repeat(20)}needle${"b".repeat(34)}…`],
];

for (const [name, code, text, expected] of SNIPPETS) {
  test(`snippet: ${name}`, () => assert.equal(snippet(code, text), expected));
}
