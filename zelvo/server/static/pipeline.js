// The pipeline's state and its walks, with the words a person reads about a component. No
// document here: the page and the notebook's own panel import this module as it is.
// Everything a component carries came from a client: these functions only ever make plain
// strings of it, which the callers put into a page as text.

// What fits of a first line of code in a title, and of an id when it stands in for a position.
const LINE_CHARS = 80;
const ID_CHARS = 12;
// Lines of a cell looked at for its first non-blank one: a huge cell is not split whole.
const LINES_LOOKED_AT = 50;

export function shorten(text, length) {
  return text.length > length ? `${text.slice(0, length - 1)}…` : text;
}

// The first line of code that is not blank, trimmed and cut to `length`.
export function firstLine(code, length = LINE_CHARS) {
  const text = typeof code === "string" ? code : "";
  const line = text.split("\n", LINES_LOOKED_AT).find((each) => each.trim()) || "";
  return shorten(line.trim(), length);
}

// Whether a value is a position or an execution count: an integer >= 1.
const counted = (value) => Number.isInteger(value) && value >= 1;

// "[12] first line of code": the cell's position as the notebook shows it, else (a pipeline
// posted without positions) the start of its id.
export function title(component) {
  const label = counted(component.position) ? `[${component.position}]` : shorten(String(component.id), ID_CHARS);
  const line = firstLine(component.code);
  return line ? `${label} ${line}` : `${label} (empty)`;
}

// How another component is named in a sentence: "cell [3]", else "component <id>".
export function cellName(component, id) {
  if (component && counted(component.position)) return `cell [${component.position}]`;
  return `component ${shorten(String(id), 40)}`;
}

// The line of code that holds `text` (case-insensitive), cut around it; the first line if
// only the id matched.
export function snippet(code, text, length = 60) {
  const source = typeof code === "string" ? code : "";
  const at = text ? source.toLowerCase().indexOf(text.toLowerCase()) : -1;
  if (at < 0) return firstLine(source, length);
  const start = source.lastIndexOf("\n", at) + 1;
  let end = source.indexOf("\n", at);
  if (end < 0) end = source.length;
  const line = source.slice(start, end);
  const offset = at - start;
  // Centre the match when the line is longer than what is shown.
  if (line.trim().length <= length) return line.trim();
  const from = Math.max(0, Math.min(offset - Math.floor(length / 3), line.length - length));
  const cut = line.slice(from, from + length);
  return `${from > 0 ? "…" : ""}${cut.trim()}${from + length < line.length ? "…" : ""}`;
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
export function readable(value, now = new Date()) {
  if (!value) return "never";
  const when = new Date(value);
  if (Number.isNaN(when.getTime())) return shorten(String(value), 20);
  const clock = clockFormat.format(when);
  if (when.getFullYear() !== now.getFullYear()) return `${yearFormat.format(when)}, ${clock}`;
  const day = dayFormat.format(when);
  return day === dayFormat.format(now) ? clock : `${day}, ${clock}`;
}

// The word a status is shown with; "unknown" for a status the server did not name.
export function statusLabel(protocol, status) {
  for (const [name, word] of protocol.statuses) if (name === status) return word;
  return "unknown";
}

// Why a component has its status, in words; "" when its status says it all.
export function reason(component, state, now = new Date()) {
  const status = state.protocol.status;
  const kind = component.execution_status;
  const word = statusLabel(state.protocol, kind);
  if (kind === status.failed) {
    const error = errorOf(component);
    if (!error) return word;
    return error.evalue ? `${word}: ${error.ename}: ${error.evalue}` : `${word}: ${error.ename}`;
  }
  if (kind === status.invalid) return outdated(component, state, word, now);
  if (kind === status.not_run) {
    return component.last_execution
      ? `${word} since the kernel restarted (last ran at ${readable(component.last_execution, now)})`
      : `${word} in this kernel`;
  }
  return "";
}

function outdated(component, state, word, now) {
  let by = component.outdated_by;
  let names = [];
  if (by && typeof by === "object" && typeof by.id === "string") {
    names = Array.isArray(by.names) ? by.names.filter((name) => typeof name === "string") : [];
  } else {
    // Not said by the server: the ancestor that ran last after it, if any did.
    const id = state.latestNewerAncestor(component.id);
    if (id === null) return word;
    by = { id, last_execution: state.get(id).last_execution };
  }
  const ancestor = cellName(state.get(by.id), by.id);
  const when = by.last_execution ? ` at ${readable(by.last_execution, now)}` : "";
  if (!names.length) return `${word}: ${ancestor} ran again${when}`;
  const shown = names.slice(0, 5).map((name) => `\`${shorten(name, 40)}\``);
  const more = names.length > 5 ? ` and ${names.length - 5} more` : "";
  const what = `${shown.join(", ")}${more}`;
  return `${word}: reads ${what}, which ${ancestor} changed${when}`;
}

// A failed component's error with its fields checked: {ename, evalue, traceback}, or null.
export function errorOf(component) {
  const error = component.error;
  if (!error || typeof error !== "object" || typeof error.ename !== "string") return null;
  return {
    ename: error.ename,
    evalue: typeof error.evalue === "string" ? error.evalue : "",
    traceback: Array.isArray(error.traceback) ? error.traceback.filter((line) => typeof line === "string") : [],
  };
}

// Whether two versions of a component look the same to a reader of the page.
function same(a, b) {
  return (
    a.component_type === b.component_type &&
    a.code === b.code &&
    a.execution_status === b.execution_status &&
    a.last_execution === b.last_execution &&
    a.position === b.position &&
    a.execution_count === b.execution_count &&
    a.front_end_id === b.front_end_id &&
    sameParents(a, b) &&
    JSON.stringify(a.error) === JSON.stringify(b.error) &&
    JSON.stringify(a.outdated_by) === JSON.stringify(b.outdated_by)
  );
}

function sameParents(a, b) {
  return a.parents_id.length === b.parents_id.length && a.parents_id.every((parent, at) => parent === b.parents_id[at]);
}

// A component as the state keeps it: the six fields checked, the optional ones as they came.
function checked(component) {
  if (!component || typeof component !== "object" || typeof component.id !== "string") return null;
  return {
    ...component,
    code: typeof component.code === "string" ? component.code : "",
    parents_id: Array.isArray(component.parents_id) ? component.parents_id.filter((id) => typeof id === "string") : [],
  };
}

// Binary heap of numbers (ranks), for walks that take the first ready component in order.
class RankHeap {
  constructor() {
    this.items = [];
  }
  get size() {
    return this.items.length;
  }
  push(item) {
    const items = this.items;
    let at = items.push(item) - 1;
    while (at > 0) {
      const up = (at - 1) >> 1;
      if (items[up] <= item) break;
      items[at] = items[up];
      at = up;
    }
    items[at] = item;
  }
  pop() {
    const items = this.items;
    const top = items[0];
    const last = items.pop();
    if (items.length) {
      let at = 0;
      for (;;) {
        const left = 2 * at + 1;
        if (left >= items.length) break;
        const child = left + 1 < items.length && items[left + 1] < items[left] ? left + 1 : left;
        if (items[child] >= last) break;
        items[at] = items[child];
        at = child;
      }
      items[at] = last;
    }
    return top;
  }
}

// The pipeline as the server holds it, from one snapshot and the updates after it.
// protocol: the page's protocol data: {procedure, message: {successful, failed},
// statuses: [[status, word], ...], status: {succeeded, failed, invalid, running, not_run},
// final_close}.
export class PipelineState {
  constructor(protocol) {
    this.protocol = protocol;
    // Whether the server has a pipeline for the kernel (a snapshot may say it has none).
    this.registered = false;
    // id -> component, and id -> the order it was first seen in (the pipeline's own order).
    this.byId = new Map();
    this.seen = new Map();
    this.nextSeen = 0;
    // Made on demand and dropped when the structure or the order changes.
    this.childrenIndex = null;
    this.orderCache = null;
  }

  get size() {
    return this.byId.size;
  }

  get(id) {
    return this.byId.get(id);
  }

  has(id) {
    return this.byId.has(id);
  }

  // A relayed or snapshot websocket message; a snapshot (the first message of a socket opened
  // with ?snapshot=1) is the whole pipeline, and what it lacks was deleted.
  // Returns {changed: ids added, revised or deleted, kind: "update" (the pipeline was brought
  // up to date), "other" (a message of the protocol that changes nothing) or "none" (not one),
  // structural: whether the layout must be made again, and the counts added/revised/deleted}.
  applyMessage(message, { snapshot = false } = {}) {
    const result = { changed: new Set(), kind: "none", structural: false, added: 0, revised: 0, deleted: 0 };
    if (!message || typeof message !== "object" || message.procedure !== this.protocol.procedure) return result;
    result.kind = "other";
    if (message.status !== this.protocol.message.successful) {
      // A snapshot that failed: the server has no pipeline for the kernel (any more).
      if (snapshot) {
        this.registered = false;
        for (const id of Array.from(this.byId.keys())) this.remove(id, result);
        result.kind = "update";
      }
      return result;
    }
    const changes = message.successful && message.successful.updated_components;
    if (!changes || typeof changes !== "object") return result;
    result.kind = "update";
    this.registered = true;
    const list = (value) => (Array.isArray(value) ? value : []);
    if (snapshot) {
      this.load(list(changes.added), result);
    } else {
      for (const raw of [...list(changes.added), ...list(changes.revised)]) {
        const component = checked(raw);
        if (component !== null) this.put(component, result);
      }
      for (const id of list(changes.deleted)) if (typeof id === "string") this.remove(id, result);
    }
    return result;
  }

  // The whole pipeline at once (a snapshot's components, or a pipeline fetched some other
  // way): what it lacks is deleted. Returns the same counts as applyMessage.
  load(components, result = { changed: new Set(), kind: "update", structural: false, added: 0, revised: 0, deleted: 0 }) {
    this.registered = true;
    const present = new Set();
    for (const raw of components) {
      const component = checked(raw);
      if (component === null) continue;
      present.add(component.id);
      this.put(component, result);
    }
    for (const id of Array.from(this.byId.keys())) if (!present.has(id)) this.remove(id, result);
    return result;
  }

  put(component, result) {
    const old = this.byId.get(component.id);
    if (old && same(old, component)) return;
    this.byId.set(component.id, component);
    result.changed.add(component.id);
    if (!old) {
      this.seen.set(component.id, this.nextSeen++);
      result.added += 1;
      result.structural = true;
    } else {
      result.revised += 1;
      if (!sameParents(old, component) || old.position !== component.position) result.structural = true;
    }
    if (result.structural) this.dropIndexes();
  }

  remove(id, result) {
    if (!this.byId.delete(id)) return;
    this.seen.delete(id);
    result.changed.add(id);
    result.deleted += 1;
    result.structural = true;
    this.dropIndexes();
  }

  dropIndexes() {
    this.childrenIndex = null;
    this.orderCache = null;
  }

  // id -> rank in notebook order: by position where the notebook gave one, then the rest in
  // the order the pipeline listed them (a position says where a cell is, so it goes first).
  ranks() {
    if (this.orderCache === null) {
      // Keys made once, not in each comparison.
      const keyed = [];
      for (const [id, component] of this.byId) {
        keyed.push([counted(component.position) ? component.position : Infinity, this.seen.get(id), id]);
      }
      keyed.sort((a, b) => a[0] - b[0] || a[1] - b[1]);
      const ids = keyed.map((entry) => entry[2]);
      this.orderCache = { ids, rank: new Map(ids.map((id, at) => [id, at])) };
    }
    return this.orderCache.rank;
  }

  // Every component, in notebook order.
  components() {
    this.ranks();
    return this.orderCache.ids.map((id) => this.byId.get(id));
  }

  children(id) {
    if (this.childrenIndex === null) {
      const index = new Map();
      for (const component of this.byId.values()) {
        for (const parent of component.parents_id) {
          if (!index.has(parent)) index.set(parent, []);
          index.get(parent).push(component.id);
        }
      }
      this.childrenIndex = index;
    }
    return (this.childrenIndex.get(id) || []).filter((child) => this.byId.has(child));
  }

  // The components reachable from `id` by `next` (not `id` itself), as a Set.
  walk(id, next) {
    const found = new Set();
    const stack = [id];
    while (stack.length) {
      for (const other of next(stack.pop())) {
        if (other !== id && !found.has(other) && this.byId.has(other)) {
          found.add(other);
          stack.push(other);
        }
      }
    }
    return found;
  }

  ancestors(id) {
    return this.walk(id, (at) => (this.byId.has(at) ? this.byId.get(at).parents_id : []));
  }

  descendants(id) {
    return this.walk(id, (at) => this.children(at));
  }

  // The given ids with every parent before its children (only edges among them count), and
  // among those ready the first in notebook order; a cycle's members come last, in order.
  parentsFirst(ids) {
    const rank = this.ranks();
    // Slots of the chosen ids; each listing of a parent counts once in waiting and once in
    // the parent's children, so a parent listed twice is still waited for exactly.
    const slot = new Map();
    const chosen = [];
    for (const id of ids) {
      if (this.byId.has(id) && !slot.has(id)) {
        slot.set(id, chosen.length);
        chosen.push(id);
      }
    }
    const count = chosen.length;
    const waiting = new Int32Array(count);
    const children = chosen.map(() => []);
    const slotOfRank = new Int32Array(this.byId.size).fill(-1);
    const ready = new RankHeap();
    for (let at = 0; at < count; at++) {
      for (const parent of this.byId.get(chosen[at]).parents_id) {
        const from = slot.get(parent);
        if (from === undefined || from === at) continue;
        children[from].push(at);
        waiting[at] += 1;
      }
      const own = rank.get(chosen[at]);
      slotOfRank[own] = at;
      if (waiting[at] === 0) ready.push(own);
    }
    const ordered = [];
    while (ready.size) {
      const at = slotOfRank[ready.pop()];
      ordered.push(chosen[at]);
      for (const child of children[at]) if (--waiting[child] === 0) ready.push(rank.get(chosen[child]));
    }
    if (ordered.length < count) {
      // A cycle's members (and what hangs below them) last, in notebook order.
      const left = chosen.filter((id, at) => waiting[at] > 0);
      ordered.push(...left.sort((a, b) => rank.get(a) - rank.get(b)));
    }
    return ordered;
  }

  // Milliseconds of a component's last run, NaN when unknown.
  ranAt(id) {
    const component = this.byId.get(id);
    return component && component.last_execution ? Date.parse(component.last_execution) : NaN;
  }

  // Whether the parent ran after the child, so the child may be out of date against it.
  newer(parent, child) {
    return this.ranAt(parent) > this.ranAt(child);
  }

  // The ancestors that ran after the component, latest first.
  newerAncestors(id) {
    const later = Array.from(this.ancestors(id)).filter((other) => this.newer(other, id));
    return later.sort((a, b) => this.ranAt(b) - this.ranAt(a) || this.ranks().get(a) - this.ranks().get(b));
  }

  latestNewerAncestor(id) {
    const later = this.newerAncestors(id);
    return later.length ? later[0] : null;
  }

  // status -> number of components, every status of the protocol listed (in its order), and
  // "unknown" only when some component has a status the protocol does not name.
  counts() {
    const counts = new Map(this.protocol.statuses.map(([status]) => [status, 0]));
    let unknown = 0;
    for (const component of this.byId.values()) {
      const status = component.execution_status;
      if (counts.has(status)) counts.set(status, counts.get(status) + 1);
      else unknown += 1;
    }
    if (unknown) counts.set("unknown", unknown);
    return counts;
  }
}
