// The panels beside the drawing: the selected component's details and why it has its status,
// the matches of Find, the count per status and the focus bar. All that a pipeline carries
// goes in as text.
import { errorOf, readable, reason, shorten, snippet, statusLabel, title } from "./pipeline.js";

const MATCHES_SHOWN = 100;
const LINKS_SHOWN = 20;
const TRACEBACK_LINES = 10;
const $ = (id) => document.getElementById(id);

// Buttons that jump to components, named by their titles.
export function componentButtons(state, ids) {
  return ids.map((id) => {
    const component = state.get(id);
    const button = document.createElement("button");
    button.type = "button";
    button.className = "link";
    button.dataset.id = id;
    const name = component ? title(component) : id;
    button.title = name;
    button.textContent = shorten(name, 60);
    return button;
  });
}

function listInto(list, state, ids) {
  list.replaceChildren(...componentButtons(state, ids.slice(0, LINKS_SHOWN)));
  if (ids.length > LINKS_SHOWN) list.append(` and ${ids.length - LINKS_SHOWN} more`);
  if (!ids.length) list.textContent = "none";
}

export class Panels {
  // page: {state, protocol, glyph(status), selected(): id or null, focusId(): id or null,
  // jump(id), setFocus(id)}.
  constructor(page) {
    Object.assign(this, page);
    this.findText = "";
    this.summaryItems = new Map();
    for (const [status, word] of [...this.protocol.statuses, ["unknown", "unknown"]]) {
      const item = document.createElement("li");
      item.className = status === "unknown" ? "status-unknown" : `status-${status}`;
      const glyph = document.createElement("span");
      glyph.className = "glyph";
      glyph.setAttribute("aria-hidden", "true");
      glyph.textContent = status === "unknown" ? "?" : this.glyph(status);
      const count = document.createElement("span");
      count.className = "count";
      item.append(glyph, `${word} `, count);
      $("summary").appendChild(item);
      this.summaryItems.set(status, { item, count });
    }
    for (const list of [$("matches"), $("details-newer"), $("details-parents")]) {
      list.addEventListener("click", (event) => {
        const button = event.target.closest("button[data-id]");
        if (button) this.jump(button.dataset.id);
      });
    }
    $("focus-selected").addEventListener("click", () => this.setFocus(this.selected()));
    $("unfocus").addEventListener("click", () => this.setFocus(null));
  }

  summarise() {
    const counts = this.state.counts();
    for (const [status, { item, count }] of this.summaryItems) {
      const n = counts.get(status) || 0;
      count.textContent = String(n);
      item.hidden = status === "unknown" && n === 0;
    }
  }

  showDetails() {
    const state = this.state;
    const id = this.selected();
    const component = id === null ? undefined : state.get(id);
    const none = component === undefined;
    $("details-hint").hidden = !none;
    for (const name of ["details-name", "details-fields", "details-code-block", "details-actions"]) $(name).hidden = none;
    if (none) {
      $("details-reason").hidden = true;
      $("details-error").hidden = true;
      return;
    }
    const status = component.execution_status;
    $("details-name").textContent = title(component);
    const why = reason(component, state);
    $("details-reason").textContent = why;
    $("details-reason").hidden = !why;
    const error = errorOf(component);
    const errorBlock = $("details-error");
    // The reason names the error; its last traceback lines go below it.
    errorBlock.hidden = !(error && error.traceback.length && status === this.protocol.status.failed);
    if (!errorBlock.hidden) errorBlock.textContent = error.traceback.slice(-TRACEBACK_LINES).join("\n");
    $("details-status").textContent = `${this.glyph(status)} ${statusLabel(this.protocol, status)}`;
    const position = component.position;
    $("details-position").textContent = Number.isInteger(position) && position >= 1 ? `[${position}]` : "unknown";
    const count = component.execution_count;
    $("details-count").textContent = Number.isInteger(count) && count >= 1 ? String(count) : "none";
    const last = $("details-last");
    last.textContent = readable(component.last_execution);
    last.title = component.last_execution || "";
    const types = this.protocol.component_types || [];
    $("details-type").textContent = types.includes(component.component_type) ? component.component_type : "unknown";
    const ids = [component.id];
    if (typeof component.front_end_id === "string" && component.front_end_id !== component.id) {
      ids.push(`(in the front end: ${component.front_end_id})`);
    }
    $("details-id").textContent = ids.join(" ");
    listInto($("details-parents"), state, state.parentsFirst(component.parents_id));
    // The ancestors that ran after it: what it may be out of date against.
    listInto($("details-newer"), state, state.newerAncestors(component.id));
    $("details-code").textContent = component.code;
    $("focus-selected").disabled = id === this.focusId();
  }

  // Lists the components that match the text, in notebook order, without selecting any.
  runFind(text) {
    this.findText = text;
    const state = this.state;
    const needle = text.toLowerCase();
    const matches = [];
    if (needle) {
      for (const component of state.components()) {
        if (
          component.id.toLowerCase().includes(needle) ||
          component.code.toLowerCase().includes(needle) ||
          title(component).toLowerCase().includes(needle)
        ) {
          matches.push(component);
        }
      }
    }
    $("matches-panel").hidden = !needle;
    $("matches-count").textContent = needle
      ? `${matches.length} component${matches.length === 1 ? "" : "s"} match “${shorten(text, 40)}”` +
        (matches.length > MATCHES_SHOWN ? `; the first ${MATCHES_SHOWN} are listed.` : ".")
      : "";
    $("matches").replaceChildren(
      ...matches.slice(0, MATCHES_SHOWN).map((component) => {
        const [button] = componentButtons(state, [component.id]);
        const line = document.createElement("code");
        line.className = "snippet";
        line.textContent = snippet(component.code, text);
        const item = document.createElement("li");
        item.append(button, line);
        return item;
      }),
    );
  }

  // The focus bar: what part is drawn, with the links that export it. part: {keep, ancestors,
  // descendants} or null.
  showFocus(part, exportUrl) {
    const bar = $("focus-bar");
    bar.hidden = !part;
    if (!part) return;
    const id = this.focusId();
    const component = this.state.get(id);
    const name = shorten(component ? title(component) : id, 60);
    $("focus-text").textContent =
      `Focus on ${name}: it, its ${part.ancestors} ancestor${part.ancestors === 1 ? "" : "s"} and its ` +
      `${part.descendants} descendant${part.descendants === 1 ? "" : "s"} (${part.keep.size} of ${this.state.size} components).`;
    for (const format of ["py", "ipynb"]) $(`export-${format}`).href = exportUrl(format, Array.from(part.keep));
  }
}
