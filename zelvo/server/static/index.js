// The index page: every registered pipeline, with a link to its live drawing.
const baseUrl = document.body.dataset.baseUrl;
const notice = document.getElementById("notice");
const table = document.getElementById("pipelines");
const rows = table.querySelector("tbody");

function cell(content) {
  const td = document.createElement("td");
  if (typeof content === "string") td.textContent = content;
  else td.appendChild(content);
  return td;
}

function when(iso) {
  const time = iso ? new Date(iso) : null;
  return time && !Number.isNaN(time.getTime()) ? time.toLocaleString() : "unknown";
}

function show(pipelines) {
  rows.replaceChildren();
  for (const entry of pipelines) {
    const link = document.createElement("a");
    link.href = `${baseUrl}zelvo/kernels/${encodeURIComponent(entry.kernel_id)}/view`;
    link.textContent = entry.kernel_id;
    const tr = document.createElement("tr");
    tr.append(
      cell(link),
      cell(typeof entry.notebook === "string" ? entry.notebook : "none"),
      cell(String(entry.components)),
      cell(when(entry.updated)),
      cell(entry.running ? "running" : "not running"),
    );
    rows.appendChild(tr);
  }
  table.hidden = pipelines.length === 0;
  notice.textContent = pipelines.length
    ? ""
    : "No pipeline is registered. A pipeline appears here once a notebook runs a cell or posts a pipeline.";
  notice.hidden = pipelines.length > 0;
}

async function load() {
  notice.textContent = "Loading…";
  notice.hidden = false;
  try {
    const response = await fetch(`${baseUrl}zelvo/kernels`, { headers: { Accept: "application/json" } });
    if (!response.ok) throw new Error(`the server answered ${response.status}`);
    show(await response.json());
  } catch (error) {
    table.hidden = true;
    notice.textContent = `The list of pipelines could not be loaded: ${error.message}.`;
  }
}

document.getElementById("refresh").addEventListener("click", load);
load();
