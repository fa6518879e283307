// The notebook's view of its kernel's pipeline: marks on the cells, a status-bar count, a
// side panel with the drawing, and commands that run what is out of date. The pipeline comes
// from the server's routes; everything in it came from a client and reaches the page only as
// text (textContent, title attributes), never as markup.

const PLUGIN = "@zelvo/notebook-extension:plugin";
const PANEL_ID = "zelvo-pipeline-panel";
const COMMANDS = {
  runOutOfDate: "zelvo:run-out-of-date",
  runWithNeeds: "zelvo:run-cell-with-needs",
  exportCell: "zelvo:export-cell",
  openPage: "zelvo:open-pipeline-page",
  openPanel: "zelvo:open-pipeline-panel",
};
const RETRY_MS = [500, 1000, 2000, 4000, 8000, 15000, 30000];
const ICON = `<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16" viewBox="0 0 16 16">
<g class="jp-icon3" fill="#616161"><circle cx="3.5" cy="3.5" r="2.2"/><circle cx="12.5" cy="3.5" r="2.2"/>
<circle cx="8" cy="12.5" r="2.2"/><path d="M4.6 5.2l2.6 5.3 1.3-.6-2.6-5.3zM11.4 5.2l-2.6 5.3-1.3-.6 2.6-5.3z"/></g></svg>`;

let said = false;
// Said once per page: the server has no pipeline routes, so nothing is shown.
function sayOnce(text) {
  if (said) return;
  said = true;
  console.info(`zelvo: ${text}`);
}

function absolute(url) {
  return new URL(url, location.href).href;
}

// The pipeline of one notebook's kernel, followed over the server's websocket.
class Follower {
  constructor(context, panel) {
    this.context = context;
    this.panel = panel;
    this.state = null;
    this.kernelId = null;
    this.socket = null;
    this.retries = 0;
    this.timer = null;
    this.disposed = false;
    this.changed = () => context.changed(this);
    panel.sessionContext.kernelChanged.connect(this.follow, this);
    this.follow();
  }

  follow() {
    const kernel = this.panel.sessionContext.session && this.panel.sessionContext.session.kernel;
    const id = kernel ? kernel.id : null;
    if (id === this.kernelId && this.socket) return;
    this.close();
    this.kernelId = id;
    this.state = null;
    this.retries = 0;
    this.changed();
    if (id) this.open();
  }

  open() {
    const { settings, protocol } = this.context;
    const path = `zelvo/kernels/${encodeURIComponent(this.kernelId)}/ws`;
    const url = new URL(path, absolute(settings.wsUrl));
    url.searchParams.set("snapshot", "1");
    if (settings.token && settings.appendToken !== false) {
      url.searchParams.set("token", settings.token);
    }
    const socket = new settings.WebSocket(url.href);
    const kernelId = this.kernelId;
    this.socket = socket;
    let first = true;
    socket.onmessage = (event) => {
      if (this.socket !== socket) return;
      let message;
      try {
        message = JSON.parse(event.data);
      } catch (error) {
        return;
      }
      // Each connection starts from its snapshot: deletions missed while away are gone too.
      const snapshot = first;
      if (first) {
        first = false;
        this.state = new this.context.pipeline.PipelineState(protocol);
      }
      this.retries = 0;
      if (this.state.applyMessage(message, { snapshot }).kind === "update") this.changed();
    };
    socket.onclose = (event) => {
      if (this.socket !== socket) return;
      this.socket = null;
      if (this.disposed || kernelId !== this.kernelId) return;
      if (event.code === protocol.final_close) return;
      const wait = RETRY_MS[Math.min(this.retries++, RETRY_MS.length - 1)];
      this.timer = setTimeout(() => {
        this.timer = null;
        if (!this.disposed && kernelId === this.kernelId) this.open();
      }, wait);
    };
  }

  close() {
    clearTimeout(this.timer);
    this.timer = null;
    if (this.socket) {
      const socket = this.socket;
      this.socket = null;
      socket.close();
    }
  }

  dispose() {
    this.disposed = true;
    this.close();
    this.panel.sessionContext.kernelChanged.disconnect(this.follow, this);
  }

  // Whether the kernel has a pipeline with components.
  get known() {
    return this.state !== null && this.state.registered && this.state.size > 0;
  }

  components() {
    return this.state ? Array.from(this.state.components()) : [];
  }

  // cell widget -> component, for the code cells of the notebook: by id, then by the id a
  // front end last ran it under, then (for what neither matched) by its 1-based position.
  matches() {
    const matched = new Map();
    if (!this.state) return matched;
    const cells = this.panel.content.widgets;
    const components = this.components();
    const byFrontEnd = new Map();
    const byPosition = new Map();
    for (const component of components) {
      if (typeof component.front_end_id === "string") {
        byFrontEnd.set(component.front_end_id, component);
      }
      if (Number.isInteger(component.position)) byPosition.set(component.position, component);
    }
    const taken = new Set();
    const left = [];
    cells.forEach((cell, index) => {
      if (cell.model.type !== "code") return;
      const id = cell.model.id;
      const component = this.state.get(id) || byFrontEnd.get(id);
      if (component && !taken.has(component.id)) {
        matched.set(cell, component);
        taken.add(component.id);
      } else {
        left.push([cell, index + 1]);
      }
    });
    for (const [cell, position] of left) {
      const component = byPosition.get(position);
      if (component && !taken.has(component.id)) {
        matched.set(cell, component);
        taken.add(component.id);
      }
    }
    return matched;
  }

  count(status) {
    return this.state ? this.state.counts().get(status) || 0 : 0;
  }
}

export function plugins(host, compat) {
  const { apputils, cells, notebook, services, settingregistry, statusbar, ui, widgets } = host;
  const icon = new ui.LabIcon({ name: "zelvo:pipeline", svgstr: ICON });

  const plugin = {
    id: PLUGIN,
    description: "Marks the cells out of date in the kernel's pipeline and runs them.",
    autoStart: true,
    optional: [
      notebook.INotebookTracker,
      settingregistry.ISettingRegistry,
      apputils.ICommandPalette,
      ...(statusbar ? [statusbar.IStatusBar] : []),
    ],
    activate(app, tracker, registry, palette, bar) {
      if (!tracker) return;
      activate(app, tracker, registry || null, palette || null, bar || null);
    },
  };

  function activate(app, tracker, registry, palette, bar) {
    const settings = services.ServerConnection.makeSettings();
    const base = absolute(settings.baseUrl);
    // Filled once the server has answered that it has the routes.
    const context = {
      settings,
      protocol: null,
      pipeline: null,
      marks: true,
      openPanel: false,
      followers: new Map(),
      changed: (follower) => refresh(follower),
    };
    let ready = false;

    // The protocol's statuses by name ({succeeded, failed, invalid, running, not_run}).
    let STATUS = null;

    function label(status) {
      return context.pipeline.statusLabel(context.protocol, status);
    }

    // -------------------------------------------------------------------------------------
    // Marks on the cells: a class and a badge on the cell's own node, outside its model.

    function unmark(cell) {
      const node = cell.node;
      for (const name of Array.from(node.classList)) {
        if (name.startsWith("zelvo-")) node.classList.remove(name);
      }
      const badge = node.querySelector(":scope > .zelvo-badge");
      if (badge) badge.remove();
    }

    function mark(cell, status, text, why) {
      const node = cell.node;
      const cls = `zelvo-status-${/^[a-z-]{1,20}$/.test(status) ? status : "unknown"}`;
      if (!node.classList.contains(cls)) {
        unmark(cell);
        node.classList.add("zelvo-marked", cls);
      }
      let badge = node.querySelector(":scope > .zelvo-badge");
      if (!badge) {
        badge = document.createElement("div");
        badge.className = "zelvo-badge";
        node.appendChild(badge);
      }
      if (badge.textContent !== text) badge.textContent = text;
      if (badge.getAttribute("title") !== why) badge.setAttribute("title", why);
    }

    function applyMarks(follower) {
      const matched = context.marks && ready && follower.known ? follower.matches() : null;
      for (const cell of follower.panel.content.widgets) {
        if (!matched || cell.model.type !== "code") {
          unmark(cell);
          continue;
        }
        const component = matched.get(cell);
        if (component) {
          const status = component.execution_status;
          if (status === STATUS.succeeded) unmark(cell);
          else mark(cell, status, label(status), why(component, follower.state));
        } else if (cell.model.sharedModel.getSource().trim()) {
          // Never run in this kernel: what the server says of such a component.
          const never = { id: cell.model.id, execution_status: STATUS.not_run, last_execution: null };
          mark(cell, STATUS.not_run, label(STATUS.not_run), why(never, follower.state));
        } else {
          unmark(cell);
        }
      }
    }

    function why(component, state) {
      return context.pipeline.reason(component, state) || label(component.execution_status);
    }

    function refresh(follower) {
      applyMarks(follower);
      if (follower.panel === tracker.currentWidget) {
        // Opened once per notebook, when its pipeline first shows (if the settings say so).
        if (context.openPanel && follower.known && !follower.panelOpened) {
          follower.panelOpened = true;
          app.shell.activateById(PANEL_ID);
        }
        updateStatus();
        updatePanel();
      }
      commandsChanged();
    }

    function track(panel) {
      if (context.followers.has(panel) || !ready) return;
      const follower = new Follower(context, panel);
      context.followers.set(panel, follower);
      // Coalesced to one pass per frame: typing changes the content on every key.
      let pending = false;
      const again = () => {
        if (pending) return;
        pending = true;
        requestAnimationFrame(() => {
          pending = false;
          if (!follower.disposed) applyMarks(follower);
        });
      };
      const content = panel.content;
      const stop = compat.shown(content, again);
      content.modelContentChanged.connect(again);
      panel.disposed.connect(() => {
        stop();
        content.modelContentChanged.disconnect(again);
        follower.dispose();
        context.followers.delete(panel);
      });
    }

    // -------------------------------------------------------------------------------------
    // The status-bar item (JupyterLab only): "N out of date"; a click opens the panel.

    const status = new widgets.Widget();
    status.addClass("zelvo-status-item");
    status.node.setAttribute("role", "button");
    status.node.setAttribute("tabindex", "0");
    status.node.addEventListener("click", () => app.commands.execute(COMMANDS.openPanel));
    status.node.addEventListener("keydown", (event) => {
      if (event.key === "Enter" || event.key === " ") app.commands.execute(COMMANDS.openPanel);
    });

    function current() {
      const panel = tracker.currentWidget;
      return panel ? context.followers.get(panel) || null : null;
    }

    function updateStatus() {
      const follower = current();
      if (!follower || !follower.known) {
        status.node.textContent = "";
        status.hide();
        return;
      }
      const count = follower.count(STATUS.invalid);
      status.node.textContent = `${count} ${label(STATUS.invalid)}`;
      status.node.setAttribute("title", "Show the pipeline");
      status.show();
    }

    // -------------------------------------------------------------------------------------
    // The panel: the server's page in its drawing-only form, for the current notebook.

    const side = new widgets.Widget();
    side.id = PANEL_ID;
    side.addClass("zelvo-panel");
    side.title.icon = icon;
    side.title.caption = "Pipeline";
    const head = document.createElement("div");
    head.className = "zelvo-panel-head";
    const heading = document.createElement("h2");
    heading.className = "zelvo-panel-title";
    const openButton = document.createElement("button");
    openButton.type = "button";
    openButton.className = "jp-Button jp-mod-styled jp-mod-reject zelvo-panel-open";
    openButton.textContent = "Full page";
    openButton.setAttribute("title", "Open the pipeline page in a new tab");
    openButton.addEventListener("click", () => app.commands.execute(COMMANDS.openPage));
    head.append(heading, openButton);
    const notice = document.createElement("p");
    notice.className = "zelvo-panel-notice";
    const frame = document.createElement("iframe");
    frame.className = "zelvo-panel-frame";
    frame.setAttribute("title", "Pipeline drawing");
    side.node.append(head, notice, frame);
    let frameKernel = null;

    function viewUrl(kernelId, embed) {
      const url = new URL(`zelvo/kernels/${encodeURIComponent(kernelId)}/view`, base);
      if (embed) url.searchParams.set("embed", "1");
      return url.href;
    }

    function updatePanel() {
      const panel = tracker.currentWidget;
      const follower = current();
      const name = panel ? panel.context.path.split("/").pop() : "";
      heading.textContent = name || "Pipeline";
      heading.setAttribute("title", name ? `The pipeline of ${name}` : "");
      side.title.caption = name ? `Pipeline of ${name}` : "Pipeline";
      const kernelId = follower && follower.known ? follower.kernelId : null;
      // Drawn only while the panel shows: a hidden frame has no size to draw into.
      const drawn = side.isVisible ? kernelId : null;
      notice.textContent = kernelId
        ? ""
        : panel
          ? "Run a cell: the pipeline of this notebook's kernel shows here."
          : "Open a notebook: the pipeline of its kernel shows here.";
      notice.hidden = !!kernelId;
      openButton.disabled = !kernelId;
      frame.hidden = !kernelId;
      if (drawn !== frameKernel) {
        frameKernel = drawn;
        frame.src = drawn ? viewUrl(drawn, true) : "about:blank";
      }
    }
    side.onAfterShow = () => updatePanel();
    side.onAfterHide = () => updatePanel();

    // The drawing says which component was clicked: the notebook scrolls to its cell.
    window.addEventListener("message", (event) => {
      if (event.source !== frame.contentWindow || event.origin !== location.origin) return;
      const data = event.data;
      if (!data || data.type !== "zelvo:select") return;
      const panel = tracker.currentWidget;
      const follower = current();
      if (!panel || !follower) return;
      const cell = cellOf(follower, data);
      if (!cell) return;
      const content = panel.content;
      content.activeCellIndex = content.widgets.indexOf(cell);
      compat.scrollTo(content, cell);
    });

    // The notebook's active cell is the drawing's focus.
    tracker.activeCellChanged.connect(() => {
      const follower = current();
      const cell = tracker.activeCell;
      if (!follower || !cell || frame.hidden || !frame.contentWindow) return;
      const component = follower.matches().get(cell);
      if (component) {
        frame.contentWindow.postMessage({ type: "zelvo:focus", id: component.id }, location.origin);
      }
    });

    // The cell of a component the drawing names: {id, front_end_id, position}.
    function cellOf(follower, data) {
      for (const [cell, component] of follower.matches()) {
        if (component.id === data.id) return cell;
      }
      const cellsNow = follower.panel.content.widgets;
      const byId = (id) => typeof id === "string" && cellsNow.find((c) => c.model.id === id);
      const at = Number.isInteger(data.position) ? cellsNow[data.position - 1] : null;
      return byId(data.id) || byId(data.front_end_id) || at || null;
    }

    // -------------------------------------------------------------------------------------
    // Commands.

    // The code cells to run, in notebook order: ``targets`` and their ancestors that are
    // out of date or not run, as far as they are cells of this notebook.
    function plan(follower, targets) {
      const matched = follower.matches();
      const cellOfId = new Map();
      for (const [cell, component] of matched) cellOfId.set(component.id, cell);
      const chosen = new Set();
      for (const target of targets) {
        const component = matched.get(target);
        if (component) {
          for (const id of follower.state.ancestors(component.id)) {
            const ancestor = follower.state.get(id);
            const stale = ancestor && [STATUS.invalid, STATUS.not_run].includes(ancestor.execution_status);
            if (stale && cellOfId.has(id)) chosen.add(cellOfId.get(id));
          }
        }
        chosen.add(target);
      }
      return follower.panel.content.widgets.filter((cell) => chosen.has(cell));
    }

    // Runs ``cells`` one after another as the notebook's own run does, stopping at the first
    // that fails; the cells run.
    async function run(panel, list) {
      const session = panel.sessionContext;
      const content = panel.content;
      const ran = [];
      for (const cell of list) {
        const deletedCells = (content.model && content.model.deletedCells) || [];
        const timing = !!(content.notebookConfig && content.notebookConfig.recordTiming);
        const reply = await cells.CodeCell.execute(cell, session, {
          deletedCells,
          recordTiming: timing,
        });
        ran.push(cell);
        if (reply && reply.content) deletedCells.splice(0, deletedCells.length);
        if (!reply || !reply.content || reply.content.status !== "ok") break;
      }
      return ran;
    }

    // Each by its id: a toolbar button updates its hidden and disabled state only then.
    function commandsChanged() {
      for (const id of Object.values(COMMANDS)) {
        if (app.commands.hasCommand(id)) app.commands.notifyCommandChanged(id);
      }
    }

    function usable() {
      const follower = current();
      return !!(ready && follower && follower.known);
    }

    function activeCode() {
      const cell = tracker.activeCell;
      return cell && cell.model.type === "code" ? cell : null;
    }

    app.commands.addCommand(COMMANDS.runOutOfDate, {
      label: "Run out-of-date cells",
      caption: "Run the cells out of date, after the cells they need that are not current",
      icon,
      isVisible: () => ready,
      isEnabled: () => usable() && current().count(STATUS.invalid) > 0,
      execute: async () => {
        const follower = current();
        if (!usable()) return [];
        const matched = follower.matches();
        const stale = [];
        for (const [cell, component] of matched) {
          if (component.execution_status === STATUS.invalid) stale.push(cell);
        }
        const list = plan(follower, stale);
        return run(follower.panel, list);
      },
    });

    app.commands.addCommand(COMMANDS.runWithNeeds, {
      label: "Run this cell with what it needs",
      caption: "Run the cells this one needs that are out of date or not run, then this one",
      isVisible: () => ready,
      isEnabled: () => usable() && activeCode() !== null,
      execute: async () => {
        const follower = current();
        const cell = activeCode();
        if (!usable() || !cell) return [];
        return run(follower.panel, plan(follower, [cell]));
      },
    });

    app.commands.addCommand(COMMANDS.exportCell, {
      label: (args) =>
        args.format === "ipynb"
          ? "Export this cell with what it needs as a notebook"
          : "Export this cell with what it needs as a script",
      isVisible: () => ready,
      isEnabled: () => {
        const follower = current();
        const cell = activeCode();
        return usable() && cell !== null && follower.matches().has(cell);
      },
      execute: async (args) => {
        const follower = current();
        const cell = activeCode();
        const component = follower && cell ? follower.matches().get(cell) : null;
        if (!component) return;
        const format = args.format === "ipynb" ? "ipynb" : "py";
        const path = `zelvo/kernels/${encodeURIComponent(follower.kernelId)}/export`;
        const url = new URL(path, base);
        url.searchParams.set("format", format);
        url.searchParams.set("cell_ids", component.id);
        url.searchParams.set("ipynb_name", follower.panel.context.path.split("/").pop());
        const response = await services.ServerConnection.makeRequest(url.href, {}, settings);
        if (!response.ok) {
          let text = `The server answered ${response.status}.`;
          try {
            text = String((await response.json()).message || text);
          } catch (error) {
            // Not JSON: the status says enough.
          }
          await apputils.showErrorMessage("Export failed", text);
          return;
        }
        const disposition = response.headers.get("Content-Disposition") || "";
        const named = /filename="([^"]*)"/.exec(disposition);
        const link = document.createElement("a");
        link.href = URL.createObjectURL(await response.blob());
        link.download = named ? named[1] : `pipeline.${format}`;
        document.body.appendChild(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(link.href), 10000);
        return link.download;
      },
    });

    app.commands.addCommand(COMMANDS.openPage, {
      label: "Open the pipeline page",
      caption: "Open the drawing of this notebook's pipeline in a new tab",
      isVisible: () => ready,
      isEnabled: usable,
      execute: () => {
        const follower = current();
        if (follower && follower.kernelId) window.open(viewUrl(follower.kernelId, false), "_blank");
      },
    });

    app.commands.addCommand(COMMANDS.openPanel, {
      label: "Show the pipeline panel",
      isVisible: () => ready,
      execute: () => app.shell.activateById(PANEL_ID),
    });

    // -------------------------------------------------------------------------------------
    // Start: only on a server that has the pipeline routes.

    function readSettings(loaded) {
      context.marks = loaded.get("marks").composite !== false;
      context.openPanel = loaded.get("openPanel").composite === true;
      for (const follower of context.followers.values()) applyMarks(follower);
    }

    async function start() {
      const url = new URL("zelvo/protocol", base).href;
      let response;
      try {
        response = await services.ServerConnection.makeRequest(url, {}, settings);
      } catch (error) {
        sayOnce(`the server could not be asked for its pipeline routes (${error}); no marks.`);
        return;
      }
      if (!response.ok) {
        sayOnce(`this server has no pipeline routes (GET ${url} answered ` +
          `${response.status}); no marks, panel or pipeline commands.`);
        return;
      }
      context.protocol = await response.json();
      STATUS = context.protocol.status;
      if (!STATUS || !Array.isArray(context.protocol.statuses)) {
        sayOnce(`this server's pipeline routes speak another protocol (GET ${url}); no marks.`);
        return;
      }
      context.pipeline = await import(new URL("static/zelvo/pipeline.js", base).href);
      if (registry) {
        try {
          const loaded = await registry.load(PLUGIN);
          readSettings(loaded);
          loaded.changed.connect(readSettings);
        } catch (error) {
          console.warn("zelvo: the settings could not be read; the defaults hold.", error);
        }
      }
      ready = true;
      if (bar) {
        bar.registerStatusItem("zelvo:out-of-date", { item: status, align: "left", rank: 4 });
      }
      app.shell.add(side, "right", { rank: 900 });
      if (palette) {
        const category = "Pipeline";
        for (const command of [COMMANDS.runOutOfDate, COMMANDS.runWithNeeds,
          COMMANDS.openPage, COMMANDS.openPanel]) {
          palette.addItem({ command, category });
        }
        for (const format of ["py", "ipynb"]) {
          palette.addItem({ command: COMMANDS.exportCell, category, args: { format } });
        }
      }
      tracker.forEach(track);
      tracker.widgetAdded.connect((_, panel) => track(panel));
      tracker.currentChanged.connect(() => {
        updateStatus();
        updatePanel();
        commandsChanged();
      });
      updateStatus();
      updatePanel();
      commandsChanged();
    }

    start().catch((error) => console.error("zelvo: the notebook extension failed to start", error));
  }

  return [plugin];
}
