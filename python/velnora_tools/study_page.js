// Sorting by a header's column and filtering by words, over rows the page
// already holds; nothing is fetched.
(() => {
  "use strict";
  const table = document.getElementById("recordings");
  const body = table.tBodies[0];
  const rows = Array.from(body.rows);
  // A row's words: its cells' texts and their tooltips (the problems' sentences).
  const texts = rows.map((row) =>
    [row.textContent, ...Array.from(row.querySelectorAll("[title]"), (cell) => cell.title)].join(" ").toLowerCase(),
  );
  const headers = Array.from(table.tHead.rows[0].cells);
  const filter = document.getElementById("filter");
  const shown = document.getElementById("shown");
  let sorted = -1;
  let ascending = true;

  filter.addEventListener("input", () => {
    const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
    let count = 0;
    rows.forEach((row, i) => {
      row.hidden = !words.every((word) => texts[i].includes(word));
      count += row.hidden ? 0 : 1;
    });
    shown.textContent = `${count} of ${rows.length} shown`;
  });

  // Empty cells sort last either way.
  const compare = (a, b) => {
    if (a === null || b === null) return a === b ? 0 : a === null ? 1 : -1;
    const order = typeof a === "number" ? a - b : a.localeCompare(b, undefined, { numeric: true });
    return ascending ? order : -order;
  };

  const sortBy = (column) => {
    ascending = column === sorted ? !ascending : true;
    sorted = column;
    const numeric = headers[column].dataset.kind === "number";
    const keyed = rows.map((row) => {
      const cell = row.cells[column];
      const raw = cell.dataset.v ?? cell.textContent;
      const key = raw === "" ? null : numeric ? Number(raw) : raw;
      return [key, row];
    });
    keyed.sort(([a], [b]) => compare(a, b));
    body.append(...keyed.map(([, row]) => row));
    headers.forEach((header, i) => header.setAttribute("aria-sort", i === column ? (ascending ? "ascending" : "descending") : "none"));
  };

  headers.forEach((header, column) => header.addEventListener("click", () => sortBy(column)));
})();
