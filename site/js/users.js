// Loaded in the head: a click on a name answers that person in the input
// form of the window, from the moment the list can be seen.
document.addEventListener("click", function (e) {
  // "Refresh" loads the list again in place: no new entry of the history
  // holds the address with the place's key.
  if (e.target.id == "refresh") { e.preventDefault(); location.reload(); return; }
  var a = e.target.closest ? e.target.closest("#list a[data-name]") : null;
  if (!a) return;
  e.preventDefault();
  try { parent.chatsubmit.getname(a.getAttribute("data-name")); } catch (x) {}
});
// Each picture says whose it is.
document.addEventListener("DOMContentLoaded", function () {
  var imgs = document.querySelectorAll("#list img");
  for (var i = 0; i < imgs.length; i++) {
    var a = imgs[i].nextElementSibling;
    imgs[i].alt = a && a.tagName == "A" ? "Picture of " + a.textContent : "";
  }
});
