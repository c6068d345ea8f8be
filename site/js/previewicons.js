(function () {
  var cells = document.querySelectorAll("#table td"), items = [];
  for (var i = 0; i < cells.length; i++) {
    var img = cells[i].querySelector("img");
    if (!img) continue;
    var file = (img.getAttribute("src") || "").replace(/^.*\//, "");
    items.push({ file: file, img: img });
  }
  // Numbers in their order (2.gif before 10.gif), then the other names.
  function key(f) { var n = /^(\d+)\./.exec(f); return n ? [0, +n[1], f] : [1, 0, f.toLowerCase()]; }
  items.sort(function (a, b) {
    var x = key(a.file), y = key(b.file);
    return x[0] - y[0] || x[1] - y[1] || (x[2] < y[2] ? -1 : x[2] > y[2] ? 1 : 0);
  });
  var grid = document.getElementById("icons");
  items.forEach(function (it) {
    var li = document.createElement("li");
    it.img.alt = "Picture " + it.file;
    li.appendChild(it.img);
    li.appendChild(document.createTextNode(it.file));
    grid.appendChild(li);
  });
  if (items.length) { document.getElementById("table").hidden = true; grid.hidden = false; }
})();
