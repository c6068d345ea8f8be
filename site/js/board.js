document.getElementById("empty").textContent = location.hash == "#mine"
  ? "Messages addressed to you show here when \u201cown pane\u201d is on."
  : "Welcome! Click a name to answer that person.";
