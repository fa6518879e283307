// The notebook extension's container (labextension/host.js) against hand-made share scopes:
// which of the host's modules it takes, and how it declines a host it does not know.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

const folder = new URL("../../labextension/", import.meta.url);
// The source as the build configures it, naming the plugins' module by its source name; its
// dynamic import goes through the test's own (a script in a vm context has none without a flag).
const source = readFileSync(new URL("host.js", folder), "utf8")
  .replace("@ZELVO_EXTENSION_FILE@", "extension.js")
  .replace("@ZELVO_STYLE_FILE@", "style.css")
  .replace("(await import(", "(await importer(");
const NAMES = [
  "@jupyterlab/application", "@jupyterlab/apputils", "@jupyterlab/cells", "@jupyterlab/notebook",
  "@jupyterlab/services", "@jupyterlab/settingregistry", "@jupyterlab/statusbar",
  "@jupyterlab/ui-components", "@lumino/widgets",
];

// A page with the container loaded: {container, warnings, taken: [name@version, ...]}.
function load(scope) {
  const warnings = [];
  const taken = [];
  const window = { _JUPYTERLAB: {} };
  const context = {
    window,
    document: { currentScript: { src: new URL("host.js", folder).href } },
    console: { warn: (text) => warnings.push(text) },
    URL,
    importer: (specifier) => import(specifier),
  };
  vm.runInNewContext(source, context);
  const container = window._JUPYTERLAB["@zelvo/notebook-extension"];
  const shared = {};
  for (const [name, versions] of Object.entries(scope)) {
    shared[name] = {};
    for (const [version, loaded] of Object.entries(versions)) {
      shared[name][version] = {
        loaded,
        get: async () => {
          taken.push(`${name}@${version}`);
          return () => ({ name, version, LabIcon: class {}, INotebookTracker: {} });
        },
      };
    }
  }
  container.init(shared);
  return { container, warnings, taken };
}

async function plugins(container) {
  const module = (await container.get("./extension"))();
  assert.equal(module.__esModule, true);
  return module.default;
}

function scopeOf(version, { without = [], extra = {} } = {}) {
  const scope = {};
  for (const name of NAMES) if (!without.includes(name)) scope[name] = { [version]: 1 };
  for (const [name, versions] of Object.entries(extra)) scope[name] = versions;
  return scope;
}

test("a JupyterLab 4 page gets the plugin, built from the versions it already uses", async () => {
  assert.ok(source.includes("(await importer("), "host.js no longer imports the plugins as expected");
  const extra = { "@jupyterlab/notebook": { "4.3.8": 1, "4.6.0": 0 } };
  const { container, warnings, taken } = load(scopeOf("4.3.8", { extra }));
  const [plugin] = await plugins(container);
  assert.equal(plugin.id, "@zelvo/notebook-extension:plugin");
  assert.equal(warnings.length, 0);
  assert.ok(taken.includes("@jupyterlab/notebook@4.3.8"));
  assert.ok(!taken.includes("@jupyterlab/notebook@4.6.0"));
});

test("without one loaded, the newest version is taken", async () => {
  const extra = { "@jupyterlab/notebook": { "4.10.1": 0, "4.9.9": 0 } };
  const { container, taken } = load(scopeOf("4.6.7", { extra }));
  await plugins(container);
  assert.ok(taken.includes("@jupyterlab/notebook@4.10.1"));
});

test("a page without a status bar (Notebook 7) still gets the plugin", async () => {
  const { container, warnings } = load(scopeOf("4.6.6", { without: ["@jupyterlab/statusbar"] }));
  assert.equal((await plugins(container)).length, 1);
  assert.equal(warnings.length, 0);
});

for (const [what, scope, said] of [
  ["another major version", scopeOf("5.0.0"), /supports JupyterLab 4, and this page runs 5\.0\.0/],
  ["no application to share", scopeOf("4.3.8", { without: ["@jupyterlab/application"] }),
    /offers no @jupyterlab\/application/],
  ["a missing module", scopeOf("4.3.8", { without: ["@jupyterlab/cells"] }),
    /offers no @jupyterlab\/cells/],
]) {
  test(`${what}: no plugins, said once in the console`, async () => {
    const { container, warnings, taken } = load(scope);
    assert.equal((await plugins(container)).length, 0);
    assert.equal((await plugins(container)).length, 0);
    assert.equal(warnings.length, 1);
    assert.match(warnings[0], said);
    if (what === "another major version") assert.equal(taken.length, 0);
  });
}
