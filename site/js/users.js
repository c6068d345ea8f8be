// Each picture says whose it is.
(function () {
  var imgs = document.querySelectorAll("#list img");
  for (var i = 0; i < imgs.length; i++) {
    var a = imgs[i].nextElementSibling;
    imgs[i].alt = a && a.tagName == "A" ? "Picture of " + a.textContent : "";
  }
})();
// A click on a name answers that person in the input form of the window.
document.getElementById("list").addEventListener("click", function (e) {
  var a = e.target.closest ? e.target.closest("a[data-name]") : null;
  if (!a) return;
  e.preventDefault();
  try { parent.chatsubmit.getname(a.getAttribute("data-name")); } catch (x) {}
});
