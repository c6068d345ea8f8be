(function () {
  "use strict";
  var POLL_MS = 2000;          // between two questions for new lines
  var CHECK_EVERY = 15;        // polls between two looks at the list of people
  var REQUEST_MS = 15000;      // one request, at most
  // New lines are waited for: the server holds the question until a line
  // comes (at most 25 s). Where that does not work (a proxy that cuts or
  // buffers long answers) the window goes back to asking every 2 s, silently.
  var WAIT_REQUEST_MS = 40000; // one waiting question, at most
  var QUICK_MS = 1000;         // a waiting answer this fast with nothing in it did not wait
  var WAIT_TROUBLE = 2;        // failed waits (or ones that did not wait) before polling
  var RETRY_OUT_MS = 10000;    // refused re-entries are tried again this often

  function meta(name) {
    var m = document.querySelector('meta[name="' + name + '"]');
    return m ? m.getAttribute("content") || "" : "";
  }

  // Who we are. The name and key travel exactly as the server gave them
  // (already in address form); the picture number and whether the visitor is
  // a member come from the start page, or from the address that opened us.
  var id = /^username=(.*?)&password=(.*?)&room=(.*)$/.exec(meta("tvl-identity")) || ["", "", "", ""];
  var me = { name: id[1], key: id[2], room: id[3], sex: "1", member: null };
  var saved = null;
  try { saved = JSON.parse(sessionStorage.getItem("tvl-entry") || "null"); } catch (e) {}
  if (saved && saved.name == me.name && String(saved.room) == me.room) {
    me.sex = saved.sex || "1";
    me.member = !!saved.member;
  } else {
    var sx = /[?&]sex=(\d+)/.exec(location.search);
    if (sx) me.sex = sx[1];
    me.member = /[?&]password=[^&]/.test(location.search);
  }
  function remember() {
    try {
      sessionStorage.setItem("tvl-entry", JSON.stringify({ name: me.name, key: me.key, room: me.room, sex: me.sex,
                                                          member: me.member, roomName: roomName }));
    } catch (e) {}
  }
  function identity() { return "username=" + me.name + "&password=" + me.key + "&room=" + me.room; }
  var roomName = "";

  // The address bar never shows the key. A reload (F5) opens the start page
  // at "#chat", which enters again with the key kept for this tab; Back leaves.
  if (/chat\.ghp/.test(location.pathname)) history.replaceState(null, "", "/#chat");
  else if (location.hash != "#chat") history.pushState(null, "", "#chat");

  var app = document.getElementById("app");
  var notice = document.getElementById("notice");
  var noticeTimer = 0;
  function show(text, stay) {
    notice.textContent = text;
    notice.style.display = text ? "block" : "none";
    clearTimeout(noticeTimer);
    if (text && !stay) noticeTimer = setTimeout(function () { notice.style.display = "none"; }, 4000);
  }

  // ------------------------------------------------------------ banner --
  var banner = document.getElementById("banner");
  function setBanner(kind, detail) {
    banner.hidden = !kind;
    banner.classList.toggle("out", kind == "out" || kind == "copy");
    document.getElementById("bannertext").textContent =
      kind == "lost" ? "Connection lost, reconnecting\u2026" : kind == "out" ? "You are no longer in the room." :
      kind == "copy" ? "This place in the room is open in another tab." : "";
    document.getElementById("bannerdetail").textContent = detail || "";
    document.getElementById("rejoin").hidden = kind != "out" || asking;
    document.getElementById("usehere").hidden = kind != "copy";
    document.getElementById("othername").hidden = kind != "copy";
    document.getElementById("again").hidden = !asking;
  }

  document.getElementById("again").addEventListener("submit", function (e) {
    e.preventDefault();
    var pass = document.getElementById("againpass");
    if (!pass.value) { pass.focus(); return; }
    me.key = encodeURIComponent(pass.value);
    pass.value = "";
    asking = false;
    setBanner("out", "Entering\u2026");
    wake();
  });
  // Rejoin enters again as a reload does (the window is already at "#chat",
  // so following the link alone would change nothing).
  document.getElementById("rejoin").addEventListener("click", function (e) {
    e.preventDefault();
    location.reload();
  });

  // ---------------------------------------------------------- requests --
  function request(url, options, ms) {
    var ctl = new AbortController();
    var timer = setTimeout(function () { ctl.abort(); }, ms || REQUEST_MS);
    var opts = options || {};
    opts.cache = "no-store";
    opts.signal = ctl.signal;
    return fetch(url, opts).then(function (r) {
      return r.text().then(function (text) { clearTimeout(timer); return { status: r.status, text: text }; });
    }, function (e) { clearTimeout(timer); throw e; });
  }
  function sleep(ms) { return new Promise(function (r) { setTimeout(r, ms); }); }
  // The visible text of a short answer page of the server.
  function answerText(html) {
    var doc = new DOMParser().parseFromString(html, "text/html");
    return ((doc.body && doc.body.textContent) || "").replace(/\s+/g, " ").trim();
  }
  function isBodyPage(html) { return html.indexOf("<title>tvl-body</title>") >= 0; }
  function isChatPage(html) { return html.indexOf('<meta name="tvl-page" content="chat">') >= 0; }

  // ---------------------------------------------------------- the panes --
  // The pane's own page, once it has a body; null while the frame still
  // holds the empty page it starts with (what is written there is gone once
  // its page comes).
  function paneDoc(name) {
    try {
      var d = window[name].document;
      return d.body && d.URL != "about:blank" ? d : null;
    } catch (e) { return null; }
  }
  function atEnd(name) {
    try {
      var win = window[name], d = win.document.scrollingElement || win.document.body;
      return d.scrollHeight - d.scrollTop - win.innerHeight < 60;
    } catch (e) { return true; }
  }
  function toEnd(name) { try { var w = window[name]; w.scrollTo(0, w.document.body.scrollHeight); } catch (e) {} }

  var FACES = ["", "smile", "grin", "wink", "sad", "surprised", "tongue", "love", "cool"];
  var newButton = document.getElementById("newmsgs");
  var live = document.getElementById("live");
  var unread = 0, baseTitle = document.title;

  // Appends lines of the server (each one a div.line) to a pane. Lines for
  // a pane whose page has not come yet wait for it (see the panes' load).
  var early = { board: "", mymsg: "" };
  function addLines(name, html) {
    var doc = paneDoc(name);
    if (!doc) { early[name] += html || ""; return 0; }
    if (early[name]) { html = early[name] + (html || ""); early[name] = ""; }
    if (!html) return 0;
    var end = atEnd(name);
    var t = doc.createElement("template");
    t.innerHTML = html;
    var imgs = t.content.querySelectorAll("img:not([alt])");
    for (var i = 0; i < imgs.length; i++) {
      var face = /\/face\/(\d+)\.gif/.exec(imgs[i].getAttribute("src") || "");
      imgs[i].setAttribute("alt", face && FACES[+face[1]] ? "(" + FACES[+face[1]] + ")" : "");
    }
    var count = t.content.querySelectorAll(".line").length || 1;
    var text = (t.content.textContent || "").replace(/\s+/g, " ").trim();
    var empty = doc.getElementById("empty");
    if (empty) empty.remove();
    doc.body.appendChild(t.content);
    if (end) toEnd(name);
    else if (name == "board") newButton.hidden = false;
    if (text) live.textContent = text.length > 600 ? text.slice(-600) : text;
    if (document.hidden) { unread += count; document.title = "(" + unread + ") " + baseTitle; }
    return count;
  }
  document.addEventListener("visibilitychange", function () {
    if (!document.hidden) { unread = 0; document.title = baseTitle; }
  });
  newButton.addEventListener("click", function () { toEnd("board"); newButton.hidden = true; });
  function watchBoard() {
    try {
      window.board.addEventListener("scroll", function () { if (atEnd("board")) newButton.hidden = true; });
    } catch (e) {}
  }
  document.querySelector('iframe[name="board"]').addEventListener("load", watchBoard);
  watchBoard();
  // A name in the head of a line answers that person. Only the server
  // writes heads and their data-name (a visitor's text can hold neither).
  function watchNames(name) {
    var doc = paneDoc(name);
    if (!doc || doc.tvlNames) return;
    doc.tvlNames = true;
    doc.addEventListener("click", function (e) {
      var a = e.target.closest ? e.target.closest(".line > .head a[data-name]") : null;
      if (!a) return;
      e.preventDefault();
      try { window.chatsubmit.getname(a.getAttribute("data-name")); } catch (x) {}
    });
  }
  ["board", "mymsg"].forEach(function (name) {
    document.querySelector('iframe[name="' + name + '"]').addEventListener("load", function () {
      watchNames(name);
      if (early[name]) addLines(name, "");
    });
    watchNames(name);
  });

  // Reads the statements of a message page (body.ghp, or the answer of a
  // post) without running them: lines for the board and the own-messages
  // pane are appended rather than the whole pane written again, and counted;
  // a new address of the list of people reloads that list.
  // True when the page carried anything.
  var LINES = /parent\.(board|mymsg)\.document\.body\.innerHTML=parent\.\1\.document\.body\.innerHTML\+"((?:[^"\\]|\\[\s\S])*)"/g;
  function applyBody(html) {
    var m = /<script[^>]*id="tvl-msg"[^>]*>/.exec(html);
    if (!m) return false;
    var at = m.index + m[0].length;
    var code = html.slice(at, html.indexOf("</scr" + "ipt>", at)).split("<!--$msg-->").join("");
    // Several servers: the number of the last line this answer stands at,
    // which the next question names ("&seen="), whichever server takes it.
    var mark = /tvl\.mark="(\d+\.\d+)";/.exec(code);
    if (mark) { lineMark = mark[1]; code = code.replace(mark[0], ""); }
    if (!code.trim()) return false;
    var got = { board: "", mymsg: "" }, t;
    LINES.lastIndex = 0;
    while ((t = LINES.exec(code))) got[t[1]] += tvlScript.unquote(t[2]);
    if (/parent\.users\.window\.location\.href=/.test(code)) reloadUsers();
    addLines("board", got.board);
    addLines("mymsg", got.mymsg);
    return true;
  }

  // ------------------------------------------------------------ people --
  var peopleButton = document.getElementById("peoplebutton");
  var usersFrame = document.querySelector('iframe[name="users"]');
  function reloadUsers() { try { window.users.location.replace("users.ghp?" + identity()); } catch (e) {} }
  // Our own line in the list carries the mark "<==".
  function listsMe(doc) { return !!doc.querySelector(".list") && /\]<==/.test(doc.querySelector(".list").textContent); }
  usersFrame.addEventListener("load", function () {
    var doc = paneDoc("users");
    if (!doc) return;
    var c = doc.querySelector(".count");
    var n = c ? c.textContent.trim() : "";
    peopleButton.textContent = "People (" + n + ")";
    document.getElementById("peopletitle").textContent = "People (" + n + ")";
    if (inRoom && !listsMe(doc)) checkDue = true;
  });
  function setDrawer(open) {
    app.classList.toggle("people-open", open);
    peopleButton.setAttribute("aria-expanded", open ? "true" : "false");
    if (open) document.getElementById("peopleclose").focus();
  }
  peopleButton.addEventListener("click", function () { setDrawer(!app.classList.contains("people-open")); });
  document.getElementById("peopleclose").addEventListener("click", function () { setDrawer(false); peopleButton.focus(); });
  document.getElementById("backdrop").addEventListener("click", function () { setDrawer(false); });
  document.addEventListener("keydown", function (e) { if (e.key == "Escape") setDrawer(false); });
  // A name was clicked (the input form's getname tells us).
  window.tvlPicked = function () { setDrawer(false); };

  // ------------------------------------------------ the room's commands --
  // Whether the visitor administers this room: the start page's room list
  // names each room's administrators; a name counts where it stands whole
  // between commas, semicolons or blanks. Only members can be administrators.
  var isAdmin = false;
  function learnRoom() {
    return request("index.ghp").then(function (r) {
      var list = tvlScript.array(r.text, "rooms");
      for (var i = 0; i + 6 < list.length; i += 7) {
        if (String(list[i + 6]) != me.room) continue;
        roomName = list[i];
        baseTitle = roomName + " - Tavella Chat";
        if (!unread) document.title = baseTitle;
        var names = list[i + 3].split(/[,; ]+/);
        var name = decodeName(me.name);
        isAdmin = me.member !== false && names.indexOf(name) >= 0;
      }
      remember();
      applyAdmin();
    }, function () {});
  }
  function decodeName(n) { try { return decodeURIComponent(n); } catch (e) { return n; } }
  function applyAdmin() {
    try { window.chatsubmit.tvlCommands && window.chatsubmit.tvlCommands(isAdmin); } catch (e) {}
  }
  window.tvlInputReady = function () { applyAdmin(); };

  var profile = document.getElementById("profile");
  // The profile opens in a tab of its own through a post of the place's key:
  // no address, history entry or Referer holds it.
  function showProfile() {
    profile.hidden = !me.member;
    profile.elements.UserName.value = decodeName(me.name);
    profile.elements.Password.value = decodeName(me.key);
  }
  showProfile();

  // ------------------------------------------------------- the input --
  window.tvlInputHeight = function (h) {
    h = Math.max(56, Math.min(340, Math.ceil(h)));
    app.style.setProperty("--input-h", h + "px");
  };
  window.tvlSplit = function (on) { app.classList.toggle("split", !!on); };

  // A line is posted by us, not by the form, so one that cannot be sent
  // stays in the input and goes out once we are back in the room.
  var sending = false, pending = false, again = false;
  function inputForm() {
    try { return window.chatsubmit.document.getElementById("say"); } catch (e) { return null; }
  }
  window.tvlSend = function () { send(); return true; };
  function send() {
    var form = inputForm();
    if (!form) return;
    // A copy posts nothing: the answer would take the other tab's lines.
    if (copy) { setBanner("copy"); return; }
    // One post at a time (the server answers each with the lines the sender
    // has not seen yet); a line sent meanwhile goes out after the answer.
    if (sending) { again = true; return; }
    var message = form.querySelector("#message"), command = form.querySelector("#mfilters");
    // A line of blanks says nothing: it is not posted (commands may go without text).
    if (command.value == "0" && !message.value.trim()) { message.value = ""; return; }
    if (!inRoom || lost) {
      pending = !!message.value;
      setInputNote(pending ? "Not sent yet: it goes out when the connection is back." : "");
      return;
    }
    var body = new URLSearchParams(new FormData(form)).toString();
    var text = message.value;
    message.value = "";
    command.value = "0";
    sending = true;
    pending = false;
    setInputNote("");
    var url = "chatsubmit.ghp?username=" + encodeURIComponent(me.name) + "&password=" + me.key + "&room=" + me.room;
    request(url, { method: "POST", body: body, headers: { "Content-Type": "application/x-www-form-urlencoded" } })
      .then(function (r) {
        sending = false;
        if (again) { again = false; setTimeout(send, 0); }
        if (r.status == 200 && isBodyPage(r.text)) { applyBody(r.text); return; }
        var said = answerText(r.text);
        if (r.status == 200 && !said) return;  // a post the server ignored
        keep(text);
        if (/invalid username/i.test(said) || r.status != 200) { inRoom = false; wake(); return; }
        // Refused (too long, not allowed): the line stays to be changed.
        pending = false;
        setInputNote("");
        show(said, false);
      }, function () {
        sending = false;
        again = false;
        keep(text);
        connectionLost();
      });
  }
  // Puts an unsent line back in front of whatever was typed since.
  function keep(text) {
    var form = inputForm();
    if (!form || !text) return;
    var message = form.querySelector("#message");
    message.value = message.value ? text + " " + message.value : text;
    pending = true;
    setInputNote("Not sent yet: it goes out when the connection is back.");
  }
  function setInputNote(text) {
    try { window.chatsubmit.tvlNote && window.chatsubmit.tvlNote(text); } catch (e) {}
  }
  function sendPending() {
    var form = inputForm();
    if (pending && form && form.querySelector("#message").value) send();
    else { pending = false; setInputNote(""); }
  }

  // ------------------------------------------------------ other tabs --
  // A tab copied from this one (the browser's "Duplicate tab" copies what
  // the tab keeps) would hold the same place: the two would share its lines,
  // each missing what the other took. Windows of one place find each other
  // on a channel of the browser; the newer one stops and says so, and offers
  // to take the place over or to enter under another name.
  var channel = null, copy = false, checking = false;
  try { channel = new BroadcastChannel("tvl-places"); } catch (e) {}
  function placeId() { return me.room + "/" + me.name + "/" + me.key; }
  function becomeCopy() {
    if (copy) return;
    copy = true;
    setBanner("copy");
    if (endStream) endStream();
  }
  if (channel) {
    channel.onmessage = function (e) {
      var m = e.data || {};
      if (m.place != placeId() || left) return;
      if (m.kind == "ask" && !copy && !checking) channel.postMessage({ kind: "held", place: m.place });
      else if (m.kind == "held" && checking) becomeCopy();
      else if (m.kind == "take") becomeCopy();
    };
  }
  // Resolves once other windows had the time to say they hold this place.
  function checkPlace() {
    if (!channel) return Promise.resolve();
    checking = true;
    channel.postMessage({ kind: "ask", place: placeId() });
    return sleep(400).then(function () { checking = false; });
  }
  document.getElementById("usehere").addEventListener("click", function () {
    if (channel) channel.postMessage({ kind: "take", place: placeId() });
    copy = false;
    streaming = typeof EventSource == "function";
    waiting = true;
    setBanner("");
    reloadUsers();
    wake();
  });
  // Another name: this tab forgets the place (it stays the other tab's).
  function forgetPlace() {
    left = true;
    stopped = true;
    if (endStream) endStream();
    try {
      var s = JSON.parse(sessionStorage.getItem("tvl-entry") || "null");
      if (s) { delete s.key; sessionStorage.setItem("tvl-entry", JSON.stringify(s)); }
    } catch (e) {}
  }
  document.getElementById("othername").addEventListener("click", function (e) {
    e.preventDefault();
    forgetPlace();
    location.replace("/");
  });

  // ------------------------------------------------------- live stream --
  // Lines come over one answer that stays open (an event stream): each line
  // is one write of the server. A stream that brings nothing soon after it
  // opens (a proxy holds it back) makes the window wait with one request at
  // a time instead; a browser without EventSource does so from the start.
  var HELLO_MS = 6000;         // the stream's hello (the end of its first piece) comes at most this late
  var STREAM_TROUBLE = 3;      // broken streams in a row without a first event, before giving up on them
  var streaming = typeof EventSource == "function", streamTrouble = 0;
  var lineMark = "";           // the number of the last line the stream brought
  var resumeFrom = false;      // questions name lineMark ("&from=")
  // Every question of the stream names the last line the window has, so
  // that a server of several that did not hand it out knows ("&seen=").
  function seen() { return lineMark ? "&seen=" + lineMark : ""; }
  var endStream = null;        // closes the open stream
  // Resolves to why the stream ended: "out" (no longer in the room),
  // "superseded" (another window of this place took over), "held" (nothing
  // came through), "broken" (it broke after it flowed), "failed", "stopped".
  function stream() {
    return new Promise(function (resolve) {
      var es = new EventSource("body.ghp?" + identity() + "&stream=1" + (resumeFrom ? "&from=" + lineMark : "") + seen());
      var flowing = false, done = false;
      var timer = setTimeout(function () { finish("held"); }, HELLO_MS);
      function finish(why) {
        if (done) return;
        done = true;
        clearTimeout(timer);
        es.close();
        endStream = null;
        resolve(why);
      }
      endStream = function () { finish("stopped"); };
      function on(name, handle) { es.addEventListener(name, function (e) { if (!done) handle(e); }); }
      function lines(pane, e) {
        if (e.lastEventId) lineMark = e.lastEventId;
        addLines(pane, e.data);
      }
      on("hello", function () {
        flowing = true;
        clearTimeout(timer);
        streamTrouble = 0;
        if (lost) { lost = false; setBanner(""); sendPending(); }
      });
      on("board", function (e) { lines("board", e); });
      on("own", function (e) { lines("mymsg", e); });
      on("users", function () { reloadUsers(); });
      on("banned", function () { banned = true; show("You have been banned from this room.", true); });
      on("unbanned", function () { banned = false; show(""); });
      on("out", function () { finish("out"); });
      on("superseded", function () { finish("superseded"); });
      // The browser would come back by itself; the window does, after a
      // look at whether the server and the place are still there.
      es.onerror = function () { finish(flowing ? "broken" : "failed"); };
    });
  }

  // ------------------------------------------------------- connection --
  var inRoom = true, lost = false, banned = false, stopped = false, left = false, asking = false;
  var checkDue = false, polls = 0, wakeUp = null;
  var waiting = true, waitTrouble = 0;
  function wake() { if (wakeUp) wakeUp(); }
  function pause(ms) {
    return new Promise(function (r) {
      var t = setTimeout(function () { wakeUp = null; r(); }, ms);
      wakeUp = function () { clearTimeout(t); wakeUp = null; r(); };
    });
  }
  function connectionLost() {
    if (!lost) { lost = true; checkDue = true; }
    setBanner("lost");
  }

  // Looks at the list of people: are we still listed in the room?
  function stillInRoom() {
    return request("users.ghp?" + identity()).then(function (r) {
      if (r.status != 200) return false;
      return listsMe(new DOMParser().parseFromString(r.text, "text/html"));
    });
  }

  // Enters the room again with the key we hold; a guest whose key the server
  // no longer knows (it restarted) enters with an empty password and gets a
  // new key. Resolves to the refusal text, or "" when we are in.
  function reenter() {
    var keys = [me.key];
    if (!me.member && me.key) keys.push("");
    var refusal = "";
    function attempt(k) {
      // A post: a password typed again stands in no address.
      return request("chat.ghp", { method: "POST", headers: { "Content-Type": "application/x-www-form-urlencoded" },
                                   body: "username=" + me.name + "&password=" + k + "&room=" + me.room + "&sex=" + me.sex })
        .then(function (r) {
          if (r.status == 200 && isChatPage(r.text)) {
            var doc = new DOMParser().parseFromString(r.text, "text/html");
            var m = doc.querySelector('meta[name="tvl-identity"]');
            var got = m ? /&password=(.*?)&room=/.exec(m.getAttribute("content") || "") : null;
            me.key = got ? got[1] : k;
            return "";
          }
          refusal = r.status == 200 ? answerText(r.text) : "The room is gone.";
          // A guest whose place has ended enters again under the same name.
          if (keys.length && /Invalid username or password|has ended/.test(refusal)) return attempt(keys.shift());
          return refusal || "The server did not let us in.";
        });
    }
    return attempt(keys.shift());
  }

  function entered() {
    inRoom = true;
    streaming = typeof EventSource == "function";  // a new place tries its stream again
    streamTrouble = 0;
    lineMark = "";
    resumeFrom = false;
    waiting = true;  // a new place tries the waiting form again
    waitTrouble = 0;
    lost = false;
    checkDue = false;
    polls = 0;
    remember();
    showProfile();
    reloadUsers();
    setBanner("");
    learnRoom();
    sendPending();
  }

  async function run() {
    for (;;) {
      if (stopped || asking || copy) { await pause(3600000); continue; }
      if (!inRoom) {
        var refused;
        try { refused = await reenter(); } catch (e) { connectionLost(); await pause(POLL_MS); continue; }
        if (stopped) continue;
        if (!refused) { entered(); continue; }
        lost = false;
        // A member's place that has ended (a new login elsewhere, a long
        // sleep) is not asked for again and again: the member enters once
        // more with the password.
        if (me.member && /has ended|Invalid username or password/.test(refused)) {
          asking = true;
          setBanner("out", refused);
          document.getElementById("againpass").focus();
          continue;
        }
        setBanner("out", refused);
        await pause(RETRY_OUT_MS);
        continue;
      }
      var plain = false;
      if (streaming) {
        var why = await stream();
        if (stopped || copy) continue;
        if (why == "out") { inRoom = false; continue; }
        // Another window of this place streams now: this one asks every 2 s
        // (the two would otherwise take the stream from each other).
        if (why == "superseded") { streaming = false; waiting = false; resumeFrom = false; continue; }
        // From now on every question names the last line the stream brought:
        // what the stream took and did not bring comes with the answer.
        resumeFrom = true;
        // Broken after it flowed: open it again at once where it broke off.
        if (why == "broken") { await pause(500); continue; }
        // Nothing came through (a proxy holds it back): wait for lines with
        // one request at a time. Failed at once: a plain question tells
        // whether the server is there (then the stream is at fault).
        if (why == "held") streaming = false;
        else plain = true;
      }
      var pauseMs = POLL_MS;
      var from = (resumeFrom ? "&from=" + lineMark : "") + seen();
      try {
        var r = null;
        if (plain) {
          r = await request("body.ghp?" + identity() + from);
          if (r.status == 200 && isBodyPage(r.text) && ++streamTrouble >= STREAM_TROUBLE) streaming = false;
        } else if (waiting) {
          var began = Date.now();
          try {
            r = await request("body.ghp?" + identity() + "&wait=1" + from, null, WAIT_REQUEST_MS);
            if (r.status != 200 || !(isBodyPage(r.text) || r.text.trim() == "You have been banned!")) r = null;
          } catch (e) { r = null; }
          if (stopped) continue;
          if (r) {
            pauseMs = 0;
            // An empty answer that came at once did not wait (a proxy
            // answered, or we are no longer in the room): ask again as the
            // polls do; the usual looks at the list find a lost place.
            if (Date.now() - began < QUICK_MS && r.text.indexOf("parent.") < 0 && !/banned!/.test(r.text)) {
              pauseMs = POLL_MS;
              checkDue = true;
              if (++waitTrouble >= WAIT_TROUBLE * 2) waiting = false;
            }
          } else {
            // The waiting form failed; a plain question tells whether it is
            // the server that is gone (then this throws) or only the wait.
            r = await request("body.ghp?" + identity() + from);
            if (r.status == 200 && isBodyPage(r.text) && ++waitTrouble >= WAIT_TROUBLE) waiting = false;
          }
        } else {
          r = await request("body.ghp?" + identity() + from);
        }
        if (stopped) continue;
        if (r.status != 200) { inRoom = false; continue; }
        if (r.text.trim() == "You have been banned!") {
          if (!banned) { banned = true; show("You have been banned from this room.", true); }
          pauseMs = POLL_MS;
        } else {
          if (banned) { banned = false; show(""); }
          if (isBodyPage(r.text) && applyBody(r.text) && pauseMs == 0) waitTrouble = 0;
        }
        if (++polls % CHECK_EVERY == 0) checkDue = true;
        if (checkDue) {
          checkDue = false;
          if (!(await stillInRoom())) { inRoom = false; continue; }
        }
        if (lost) { lost = false; setBanner(""); sendPending(); }
      } catch (e) {
        connectionLost();
        pauseMs = POLL_MS;
      }
      await pause(pauseMs);
    }
  }

  // ----------------------------------------------------------- leaving --
  // Closing the tab, reloading or going elsewhere tells the server at once
  // (the server takes exit.ghp as a POST too). One request only: an exit that
  // arrives after a reload has entered again would take the new place away.
  function sayGoodbye() {
    if (left || !inRoom || copy) return;  // a copy's place is the other tab's
    try { navigator.sendBeacon("exit.ghp?" + identity()); } catch (e) {}
  }
  window.addEventListener("pagehide", function () {
    sayGoodbye();
    stopped = true;
    inRoom = false;
    if (endStream) endStream();
  });
  // Back from the browser's page cache: enter again.
  window.addEventListener("pageshow", function (e) { if (e.persisted && !left) { stopped = false; inRoom = false; wake(); } });
  function leave() {
    if (left) return;
    var url = "exit.ghp?" + identity(), ours = !copy;  // a copy's place is the other tab's
    forgetPlace();
    var done = function () { location.replace("/"); };
    if (ours) fetch(url, { cache: "no-store" }).then(done, done);
    else done();
  }
  document.getElementById("leave").addEventListener("click", leave);
  window.addEventListener("popstate", function () { if (location.hash != "#chat") leave(); });

  remember();
  learnRoom();
  checkPlace().then(run);
})();
