// Called with a user name when a name is clicked on the board or in the list
// of people: the next line goes to that person.
function getname(name) {
  var to = document.getElementById("mtowho");
  if (!to) return;
  to.value = name;
  to.dispatchEvent(new Event("input"));
  document.getElementById("message").focus();
  try { parent.tvlPicked && parent.tvlPicked(); } catch (e) {}
}
// The rest once the form is there (this file is loaded in the head, so that
// getname answers from the start).
document.addEventListener("DOMContentLoaded", function () {
  var form = document.getElementById("say");
  var message = document.getElementById("message");
  var command = document.getElementById("mfilters");
  var to = document.getElementById("mtowho");
  var priv = document.getElementById("mqqsay");

  // Shown on its own, without the chat window around it, the form posts
  // itself. The server looks the sender up by the name exactly as it stood in
  // the address that opened the chat, and decodes the name of a post once; so
  // the post carries that address form, encoded once more.
  var m = /[?&]username=(.*?)&password=(.*?)&room=(.*)$/.exec(location.search);
  if (m) form.action = "chatsubmit.ghp?username=" + encodeURIComponent(m[1]) + "&password=" + m[2] + "&room=" + m[3];
  function inWindow() { try { return !!parent.tvlSend && parent !== window; } catch (x) { return false; } }

  function size() {
    try { parent.tvlInputHeight && parent.tvlInputHeight(form.offsetHeight + 16); } catch (x) {}
  }
  // The private flag: coloured while on, with the addressee's name.
  function showPrivate() {
    var on = priv.checked;
    form.classList.toggle("priv", on);
    document.getElementById("privtext").textContent = on ? "Private to " + (to.value || "?") : "Private";
    message.placeholder = on ? "Private message to " + (to.value || "?") : "Write a message";
    size();
  }
  priv.addEventListener("change", showPrivate);
  to.addEventListener("input", showPrivate);

  document.getElementById("toall").addEventListener("click", function () {
    to.value = "All";
    priv.checked = false;   // a private line needs an addressee
    showPrivate();
    message.focus();
  });
  document.getElementById("elist").addEventListener("change", function () {
    var pic = document.getElementById("facepic");
    pic.style.visibility = this.value == "0" ? "hidden" : "visible";
    if (this.value != "0") { pic.src = "/face/" + this.value + ".gif"; pic.alt = this.options[this.selectedIndex].text; }
  });
  var more = document.getElementById("more");
  more.addEventListener("click", function () {
    var open = form.classList.toggle("open");
    more.setAttribute("aria-expanded", open ? "true" : "false");
    size();
  });
  // The server learns the pane choice from the next post; send one at once
  // when nothing is typed, so the choice holds for the lines that follow.
  document.getElementById("msplit").addEventListener("change", function () {
    try { parent.tvlSplit && parent.tvlSplit(this.checked); } catch (x) {}
    if (!message.value && command.value == "0") {
      if (inWindow()) parent.tvlSend(); else form.submit();
    }
  });
  form.addEventListener("submit", function (e) {
    if (!message.value && command.value == "0") { e.preventDefault(); message.focus(); return; }
    if (!inWindow()) return;
    e.preventDefault();
    parent.tvlSend();
    message.focus();
  });

  // Called by the chat window: the room's commands only for its administrators.
  window.tvlCommands = function (admin) {
    document.getElementById("command").hidden = !admin;
    if (!admin) command.value = "0";
    size();
  };
  // Called by the chat window about a line that waits for the connection.
  window.tvlNote = function (text) {
    document.getElementById("note").textContent = text;
    size();
  };
  window.addEventListener("resize", size);
  showPrivate();
  try { parent.tvlInputReady && parent.tvlInputReady(); } catch (x) {}
  message.focus();
});
