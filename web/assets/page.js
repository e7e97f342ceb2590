// The server list page: refreshed from /servers.json every 10 seconds
// without a reload, sortable by players and by name in place. Every text
// from a game server goes in as text (textContent), never as markup.
"use strict";
(function () {
  const REFRESH_MS = 10000;
  const table = document.getElementById("servers");
  const body = table.tBodies[0];
  let sort = new URLSearchParams(location.search).get("sort") || "";
  let servers = null;  // as /servers.json last gave them

  function cell(cls, text) {
    const td = document.createElement("td");
    td.className = cls;
    if (text !== undefined) td.textContent = text;
    return td;
  }

  function row(s) {
    const tr = document.createElement("tr");
    if (s.official) tr.className = "official";
    tr.dataset.user = s.user;
    if (s.registry) {
      tr.dataset.registry = s.registry;
      tr.title = "On registry " + s.registry;
    }
    const name = cell("name");
    if (s.official) {
      const badge = document.createElement("span");
      badge.className = "badge";
      badge.textContent = "Official";
      name.append(badge, " ");
    }
    const title = document.createElement("span");
    title.className = "server";
    title.textContent = s.name;
    name.append(title);
    if (s.description) {
      const desc = document.createElement("span");
      desc.className = "desc";
      desc.textContent = s.description;
      name.append(desc);
    }
    const update = cell("update");
    if (/^https?:\/\/./i.test(s.updateUrl)) {
      const a = document.createElement("a");
      a.href = s.updateUrl;
      a.rel = "nofollow noopener";
      a.textContent = s.updateUrl;
      update.append(a);
    } else {
      update.textContent = s.updateUrl;
    }
    tr.append(name, cell("players", String(s.players)), cell("address", s.address), update);
    return tr;
  }

  function ordered(list) {
    const copy = list.slice();
    if (sort === "players") copy.sort((a, b) => b.players - a.players);
    if (sort === "name") copy.sort((a, b) => a.name.localeCompare(b.name, undefined, { sensitivity: "base" }));
    return copy;
  }

  function showSort() {
    for (const th of table.tHead.rows[0].cells) {
      const link = th.querySelector("a[data-sort]");
      if (!link) continue;
      if (link.dataset.sort === sort) th.setAttribute("aria-sort", sort === "name" ? "ascending" : "descending");
      else th.removeAttribute("aria-sort");
    }
  }

  function render() {
    if (!servers) return;
    body.replaceChildren(...ordered(servers).map(row));
    document.getElementById("empty").hidden = servers.length > 0;
    showSort();
  }

  function showTime(iso) {
    const time = document.getElementById("generated");
    time.dateTime = iso;
    const when = new Date(iso);
    if (!isNaN(when)) time.textContent = when.toLocaleString();
  }

  async function refresh() {
    try {
      const reply = await fetch("/servers.json", { cache: "no-cache" });
      if (!reply.ok) return;
      const list = await reply.json();
      servers = list.servers;
      document.getElementById("serverCount").textContent = String(list.serverCount);
      document.getElementById("playerCount").textContent = String(list.playerCount);
      showTime(list.generated);
      render();
    } catch (e) {
      // The registry is out of reach for a moment; the next round tries again.
    }
  }

  // Sorting works without a round trip once the list is known; before
  // that, the links load the page sorted by the registry.
  table.tHead.addEventListener("click", (event) => {
    const link = event.target.closest("a[data-sort]");
    if (!link || !servers) return;
    event.preventDefault();
    sort = link.dataset.sort;
    history.replaceState(null, "", "?sort=" + sort);
    render();
  });

  showTime(document.getElementById("generated").dateTime);
  refresh();
  setInterval(refresh, REFRESH_MS);
})();
