(function () {
  var form = document.getElementById("reg");
  var icon = document.getElementById("Icon");
  var pic = document.getElementById("iconpic");
  function preview() { if (icon.value) pic.src = "/images/" + icon.value; }
  icon.addEventListener("change", preview);
  preview();
  if (document.getElementById("cw").value == "0") document.getElementById("UserName").readOnly = true;
  // What opened the change form (the password or the place's key).
  var old = document.getElementById("Old"), proof = old.value;
  form.addEventListener("submit", function (e) {
    var err = document.getElementById("error");
    var name = document.getElementById("UserName").value;
    var pass = document.getElementById("Password").value;
    // Newlines cannot be kept in the account file; the profile is one line.
    var resume = document.getElementById("Resume");
    resume.value = resume.value.replace(/[\r\n]+/g, " ");
    if (!/^[A-Za-z0-9_.\-]{1,30}$/.test(name) || name.indexOf("..") >= 0) {
      err.textContent = "Please use letters, digits, '-', '_' or '.' for the name."; e.preventDefault(); return;
    }
    // A change may leave the password empty: the stored one stays.
    if (!pass && document.getElementById("cw").value != "0") {
      err.textContent = "Please choose a password."; e.preventDefault(); return;
    }
    if (pass != document.getElementById("Password1").value) {
      err.textContent = "The two passwords differ."; e.preventDefault(); return;
    }
    // A form opened from the chat window holds the place's key, which never
    // sets a new password: the current password goes in its stead.
    var typed = document.getElementById("Current").value;
    if (!document.getElementById("current").hidden && pass && !typed) {
      err.textContent = "Please type your current password to set a new one."; e.preventDefault(); return;
    }
    old.value = pass && typed ? typed : proof;
    err.textContent = "";
    sent = { name: name, pass: pass, icon: icon.value };
  });
  // Registered: a way straight into the Lobby as the new member (the start
  // page enters with what this tab keeps, see "#chat" there).
  var sent = null;
  document.getElementById("result").addEventListener("load", function () {
    var text = "";
    try { text = this.contentDocument.body.textContent; } catch (x) {}
    document.getElementById("next").hidden = !(sent && /Congratulations/.test(text));
  });
  document.getElementById("tolobby").addEventListener("click", function () {
    var pic = /^(\d+)\.gif$/i.exec(sent.icon || "");
    try {
      sessionStorage.setItem("tvl-entry", JSON.stringify({ name: encodeURIComponent(sent.name), key: encodeURIComponent(sent.pass),
                                                          roomName: "Lobby", sex: pic ? pic[1] : "1", member: true }));
    } catch (x) {}
  });
})();
