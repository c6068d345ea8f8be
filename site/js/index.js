(function () {
  var data = document.getElementById("tvl-rooms").textContent;
  var list = tvlScript.array(data, "rooms");
  var access = tvlScript.array(data, "RoomAccess");  // per room: "guests", "members" or "admins"
  var total = tvlScript.number(data, "OnlineUsers");
  var roomsEl = document.getElementById("rooms");
  var select = document.getElementById("room");
  // Seven entries per room: name, users, false, admin text, "/01/", 0, number.
  for (var i = 0; i + 6 < list.length; i += 7) {
    var name = list[i], users = list[i + 1], admin = list[i + 3], number = list[i + 6];
    var li = document.createElement("li");
    li.className = "room";
    li.setAttribute("data-room", number);
    var text = document.createElement("div");
    var n = document.createElement("div"); n.className = "name"; n.textContent = name;
    text.appendChild(n);
    if (admin) { var a = document.createElement("div"); a.className = "admin"; a.textContent = "Hosted by " + admin; text.appendChild(a); }
    var who = access[i / 7];
    if (who) {
      var w = document.createElement("div"); w.className = "access " + who;
      w.textContent = who == "guests" ? "Guests welcome" : who == "members" ? "Members only" : "Administrators only";
      text.appendChild(w);
    }
    var c = document.createElement("span"); c.className = "count";
    c.textContent = users + (users == "1" ? " person" : " people");
    li.appendChild(text); li.appendChild(c);
    li.addEventListener("click", (function (num) { return function () { choose(num); document.getElementById("username").focus(); }; })(number));
    roomsEl.appendChild(li);
    var opt = document.createElement("option");
    opt.value = number; opt.setAttribute("data-name", name); opt.textContent = name + " (" + users + ")";
    select.appendChild(opt);
  }
  if (!roomsEl.firstChild) roomsEl.innerHTML = "<li class=room>No rooms are open.</li>";
  document.getElementById("total").textContent = total + (total == 1 ? " person is" : " people are") + " chatting right now.";

  function choose(num) {
    select.value = String(num);
    var all = roomsEl.querySelectorAll(".room");
    for (var k = 0; k < all.length; k++) all[k].classList.toggle("chosen", all[k].getAttribute("data-room") == String(num));
  }
  select.addEventListener("change", function () { choose(select.value); });
  if (select.options.length) choose(select.options[0].value);

  document.getElementById("findform").addEventListener("submit", function () {
    document.getElementById("findresult").classList.add("used");
  });

  var pics = document.getElementById("pictures");
  for (var p = 1; p <= 12; p++) {
    var lab = document.createElement("label");
    lab.innerHTML = '<input type="radio" name="sex" value="' + p + '"' + (p == 1 ? " checked" : "") +
                    '><img src="images/' + p + '.gif" alt="picture ' + p + '">';
    pics.appendChild(lab);
  }

  // Names travel in page addresses and become file names of accounts, so the
  // form only lets through what every page can carry unchanged.
  var nameRule = /^[A-Za-z0-9_.\-]{1,30}$/;
  var err = document.getElementById("login-error");
  var enterButton = document.getElementById("enter");
  function say(el, text, kind) { el.textContent = text; el.className = "error" + (kind ? " " + kind : ""); }
  function sleep(ms) { return new Promise(function (r) { setTimeout(r, ms); }); }
  function get(url, body) {
    var options = { cache: "no-store" };
    if (body !== undefined) {
      options.method = "POST";
      options.headers = { "Content-Type": "application/x-www-form-urlencoded" };
      options.body = body;
    }
    return fetch(url, options).then(function (r) {
      return r.text().then(function (text) { return { status: r.status, text: text }; });
    });
  }
  // The visible text of a short answer page of the server.
  function answerText(html) {
    var doc = new DOMParser().parseFromString(html, "text/html");
    return ((doc.body && doc.body.textContent) || "").replace(/\s+/g, " ").trim();
  }
  // What this tab entered last (kept by the chat window): name and key in
  // address form, room number and name, picture, member or guest.
  function savedEntry() { try { return JSON.parse(sessionStorage.getItem("tvl-entry") || "null"); } catch (e) { return null; } }
  function saveEntry(entry) { try { sessionStorage.setItem("tvl-entry", JSON.stringify(entry)); } catch (e) {} }
  function roomNamed(name) {
    for (var k = 0; k < select.options.length; k++) if (select.options[k].getAttribute("data-name") == name) return select.options[k].value;
    return "";
  }
  function decoded(text) { try { return decodeURIComponent(text); } catch (e) { return text; } }

  // Asks the server to let us in and shows a refusal here, the form as it
  // was. Once admitted, the answer becomes this tab's page: asking a second
  // time would find the name taken. `again` is a re-entry of this tab (a
  // reload, the way back after registering): the exit of the page before may
  // still be on its way, and a guest's key dies with a restart of the server.
  function enterRoom(entry, again) {
    enterButton.disabled = true;
    say(err, again ? "Entering " + (entry.roomName || "the room") + "\u2026" : "Entering\u2026", "busy");
    var keys = [entry.key];
    if (again && !entry.member && entry.key) keys.push("");
    var taken = 0;
    function attempt(key) {
      // A post: the password stands in no address (history, proxies' logs).
      return get("chat.ghp", "username=" + entry.name + "&password=" + key + "&room=" + entry.room + "&sex=" + entry.sex)
        .then(function (r) {
          if (r.status == 200 && r.text.indexOf('<meta name="tvl-page" content="chat">') >= 0) {
            entry.key = key;
            saveEntry(entry);
            document.open();
            document.write(r.text);
            document.close();
            return;
          }
          var refusal = r.status == 200 ? answerText(r.text) : "This room is not open.";
          // A guest whose place has ended enters again under the same name.
          if (again && keys.length && /Invalid username or password|has ended/.test(refusal)) return attempt(keys.shift());
          // A member's ended place needs the password once more (the field
          // held the place's key).
          if (again && entry.member && /has ended/.test(refusal)) {
            document.getElementById("password").value = "";
            document.getElementById("password").focus();
          }
          if (again && /has logged on/.test(refusal) && ++taken < 6) return sleep(700).then(function () { return attempt(key); });
          refused(refusal || "The server did not let you in.");
        }, function () { refused("The chat server does not answer. Please try again in a moment."); });
    }
    attempt(keys.shift());
  }
  function refused(text) {
    enterButton.disabled = false;
    say(err, text, "refused");
    if (location.hash) history.replaceState(null, "", location.pathname);
  }

  document.getElementById("login").addEventListener("submit", function (e) {
    e.preventDefault();
    var name = document.getElementById("username").value.trim();
    var pass = document.getElementById("password").value;
    var checked = document.querySelector('input[name="sex"]:checked');
    if (!nameRule.test(name) || name.indexOf("..") >= 0) {
      say(err, "Please use letters, digits, '-', '_' or '.' for your name (at most 30).");
      return;
    }
    if (!select.value) { say(err, "There is no room to enter."); return; }
    var opt = select.options[select.selectedIndex];
    enterRoom({ name: encodeURIComponent(name), key: encodeURIComponent(pass), room: select.value,
                sex: checked ? checked.value : "1", member: pass !== "", roomName: opt.getAttribute("data-name") }, false);
  });

  // The form keeps what this tab entered last; "#chat" (a reload of the chat
  // window, or "Rejoin") enters that room again.
  var last = savedEntry();
  if (last && last.name) {
    document.getElementById("username").value = decoded(last.name);
    var num = last.room && select.querySelector('option[value="' + last.room + '"]') ? String(last.room) : roomNamed(last.roomName);
    if (!num && select.options.length) num = select.options[0].value;
    if (num) { choose(num); last.room = num; }
    var pic = document.querySelector('input[name="sex"][value="' + last.sex + '"]');
    if (pic) pic.checked = true;
    if (location.hash == "#chat" && typeof last.key == "string" && num) {
      if (last.member) document.getElementById("password").value = decoded(last.key);
      enterRoom(last, true);
    }
  }

  // Pages that may answer with a short refusal instead (registration closed,
  // a wrong password for the profile) are asked first; a refusal shows here.
  function askFirst(url, expect, el) {
    say(el, "");
    get(url).then(function (r) {
      if (r.status == 200 && r.text.indexOf(expect) >= 0) { location.href = url; return; }
      say(el, answerText(r.text) || "The server could not show this page.", "refused");
      el.scrollIntoView({ block: "nearest" });
    }, function () { say(el, "The chat server does not answer. Please try again in a moment.", "refused"); });
  }
  var asks = document.querySelectorAll("a.ask");
  for (var q = 0; q < asks.length; q++) {
    asks[q].addEventListener("click", function (e) {
      e.preventDefault();
      askFirst(this.getAttribute("href"), 'id="reg"', document.getElementById("register-error"));
    });
  }
  // "Change profile" is a form post: the password never stands in an
  // address (history, address bar, logs). It is asked first, so that a
  // refusal shows here; the form itself is then posted for the change form.
  document.getElementById("change").addEventListener("submit", function (e) {
    e.preventDefault();
    var form = this, el = document.getElementById("change-error");
    var name = document.getElementById("pname");
    name.value = name.value.trim();
    say(el, "");
    fetch("registresult.htm?change", {
      method: "POST", cache: "no-store",
      headers: { "Content-Type": "application/x-www-form-urlencoded" },
      body: "UserName=" + encodeURIComponent(name.value) +
            "&Password=" + encodeURIComponent(document.getElementById("ppass").value)
    }).then(function (r) {
      return r.text().then(function (text) {
        if (r.status == 200 && text.indexOf('id="reg"') >= 0) { form.submit(); return; }
        say(el, answerText(text) || "The server could not show this page.", "refused");
        el.scrollIntoView({ block: "nearest" });
      });
    }, function () { say(el, "The chat server does not answer. Please try again in a moment.", "refused"); });
  });
})();
