// A squarified treemap (Bruls, Huizing and van Wijk) of the boxes in the JSON
// element named by the container's data-source: [{url, size, label, title}],
// largest first. Each box is an ordinary link, so a click, a middle click and
// the back button behave as anywhere else. Positions are percentages of the
// container, laid out for its size when the page loads.
(function () {
  "use strict";

  // The worst aspect ratio in a row of areas laid along a side of length `side`.
  function worst(areas, side) {
    const sum = areas.reduce((a, b) => a + b, 0);
    const max = Math.max(...areas), min = Math.min(...areas);
    return Math.max((side * side * max) / (sum * sum), (sum * sum) / (side * side * min));
  }

  // Lays out areas (summing to w * h) in the rectangle; returns [x, y, w, h] per area.
  function squarify(areas, x, y, w, h) {
    const out = [];
    let row = [];
    let i = 0;
    while (i < areas.length) {
      const side = Math.min(w, h);
      const longer = row.concat([areas[i]]);
      if (row.length === 0 || worst(longer, side) <= worst(row, side)) {
        row = longer;
        i += 1;
        continue;
      }
      [x, y, w, h] = place(row, x, y, w, h, out);
      row = [];
    }
    if (row.length) place(row, x, y, w, h, out);
    return out;
  }

  // Places one row along the shorter side; returns the rectangle that remains.
  function place(row, x, y, w, h, out) {
    const sum = row.reduce((a, b) => a + b, 0);
    if (w >= h) {
      const width = sum / h;
      let top = y;
      for (const area of row) { out.push([x, top, width, area / width]); top += area / width; }
      return [x + width, y, w - width, h];
    }
    const height = sum / w;
    let left = x;
    for (const area of row) { out.push([left, y, area / height, height]); left += area / height; }
    return [x, y + height, w, h - height];
  }

  // A stable pale colour per type name, so that boxes of one type look alike.
  function colour(text) {
    let hash = 0;
    for (const c of text) hash = (hash * 31 + c.charCodeAt(0)) >>> 0;
    return "hsl(" + (hash % 360) + ", 55%, 78%)";
  }

  for (const container of document.querySelectorAll(".treemap[data-source]")) {
    const boxes = JSON.parse(document.getElementById(container.dataset.source).textContent)
      .filter((box) => box.size > 0);
    const width = container.clientWidth, height = container.clientHeight;
    const total = boxes.reduce((sum, box) => sum + box.size, 0);
    const rects = squarify(boxes.map((box) => (box.size / total) * width * height), 0, 0, width, height);
    boxes.forEach((box, i) => {
      const [x, y, w, h] = rects[i];
      const link = document.createElement("a");
      link.href = box.url;
      link.title = box.title;
      link.textContent = box.label;
      link.style.left = (100 * x / width) + "%";
      link.style.top = (100 * y / height) + "%";
      link.style.width = (100 * w / width) + "%";
      link.style.height = (100 * h / height) + "%";
      link.style.background = colour(box.label.split(" ")[0]);
      container.appendChild(link);
    });
  }
})();
