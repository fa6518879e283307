// The container the page loads: what differs between the JupyterLab 4 releases lives here.
// The page inserts this file as a classic script, calls init() with its share scope, then
// get("./extension") and get("./style"); the plugins themselves are in the module named below.
(function () {
  "use strict";
  const NAME = "@zelvo/notebook-extension";
  // Replaced at build time by the content-hashed names of the module and the style sheet.
  const EXTENSION = "@ZELVO_EXTENSION_FILE@";
  const STYLE = "@ZELVO_STYLE_FILE@";
  const MAJOR = 4;
  // The host's own modules the plugins use: their tokens match the host's by identity.
  const SHARED = {
    application: "@jupyterlab/application",
    apputils: "@jupyterlab/apputils",
    cells: "@jupyterlab/cells",
    notebook: "@jupyterlab/notebook",
    services: "@jupyterlab/services",
    settingregistry: "@jupyterlab/settingregistry",
    statusbar: "@jupyterlab/statusbar",
    ui: "@jupyterlab/ui-components",
    widgets: "@lumino/widgets",
  };
  const here = document.currentScript ? document.currentScript.src : "";
  let scope = null;
  let modules = null;

  function numbers(version) {
    return String(version)
      .split(/[.+-]/)
      .slice(0, 3)
      .map((part) => parseInt(part, 10) || 0);
  }

  function newer(a, b) {
    const [x, y] = [numbers(a), numbers(b)];
    for (let at = 0; at < 3; at++) if (x[at] !== y[at]) return x[at] > y[at];
    return false;
  }

  // The version of a package the page already uses, else the newest it offers; null when
  // the share scope has none.
  function pick(name) {
    const versions = scope && scope[name];
    if (!versions) return null;
    let best = null;
    for (const version of Object.keys(versions)) {
      const entry = versions[version];
      const better = best === null || (entry.loaded && !versions[best].loaded) ||
        (!!entry.loaded === !!versions[best].loaded && newer(version, best));
      if (better) best = version;
    }
    return best === null ? null : { version: best, entry: versions[best] };
  }

  function decline(why) {
    console.warn(`${NAME}: not loaded: ${why}.`);
    return null;
  }

  // The host's modules by short name, or null (said once in the console) on a host this
  // extension was not written for.
  async function host() {
    const found = {};
    for (const [key, name] of Object.entries(SHARED)) found[key] = pick(name);
    const lab = found.application;
    if (!lab) return decline("the page offers no @jupyterlab/application to share");
    if (numbers(lab.version)[0] !== MAJOR) {
      return decline(`it supports JupyterLab ${MAJOR}, and this page runs ${lab.version}`);
    }
    const result = { version: lab.version };
    for (const [key, picked] of Object.entries(found)) {
      // The status bar is optional: Notebook 7 has none.
      if (!picked) {
        if (key === "statusbar") continue;
        return decline(`the page offers no ${SHARED[key]} to share`);
      }
      result[key] = (await picked.entry.get())();
    }
    return result;
  }

  // Where the windowing of the notebook differs: 4.3 renders cells lazily ("full" windowing,
  // placeholders), 4.6 keeps every cell attached ("contentVisibility"). `shown` calls back
  // whenever cells may have been rendered or scrolled into view.
  const compat = {
    shown(notebook, callback) {
      const signals = [notebook.placeholderCellRendered, notebook.viewChanged];
      const connected = signals.filter((signal) => signal && signal.connect);
      for (const signal of connected) signal.connect(callback);
      return () => connected.forEach((signal) => signal.disconnect(callback));
    },
    scrollTo(notebook, cell) {
      if (notebook.scrollToCell) return notebook.scrollToCell(cell, "center");
      cell.node.scrollIntoView({ block: "center" });
      return Promise.resolve();
    },
  };

  window._JUPYTERLAB = window._JUPYTERLAB || {};
  window._JUPYTERLAB[NAME] = {
    init(shareScope) {
      scope = shareScope;
    },
    async get(module) {
      if (module === "./extension") {
        if (modules === null) modules = host();
        const shared = await modules;
        const plugins = shared
          ? (await import(new URL(EXTENSION, here).href)).plugins(shared, compat)
          : [];
        return () => ({ __esModule: true, default: plugins });
      }
      if (module === "./style") {
        return () => {
          const link = document.createElement("link");
          link.rel = "stylesheet";
          link.href = new URL(STYLE, here).href;
          document.head.appendChild(link);
          return {};
        };
      }
      throw new Error(`${NAME} has no module ${module}`);
    },
  };
})();
