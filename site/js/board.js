// The board's greeting, unless the window has written lines here already
// (they may come before this file does).
(function () {
  var empty = document.getElementById("empty");
  if (empty) empty.textContent = location.hash == "#mine"
    ? "Messages addressed to you show here when \u201cown pane\u201d is on."
    : "Welcome! Click a name to answer that person.";
})();
