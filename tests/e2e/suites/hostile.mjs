// A hostile visitor beside an ordinary one: nothing the hostile one types in
// any field a visitor can set (name, addressee, message, picture, e-mail,
// profile) runs in a browser, on loading the pages, moving the mouse over
// every line and name, or clicking them; nothing leaves its place on the
// page; and without the key of a place nobody reads, speaks or leaves as its
// visitor.
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, WAIT, sleep, base, server, newPage, frame, frameEval, frameText, waitText, waitNoText,
  enter, say, register, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

// Every payload sets this flag in the chat window (or in its own frame) and
// calls alert, which the test pages record.
const RUN = "top.pwned=1;alert(1)";

const MESSAGES = [
  `<img src=x onerror=${RUN}>`,
  `<a href="javascript:${RUN}">click me</a>`,
  `<b onmouseover=${RUN}>hover me</b>`,
  `<div style="position:fixed;top:0;left:0;width:100%;height:100%;background:red" onclick=${RUN}>cover</div>`,
  `<svg onload=${RUN}>`,
  `"><script>${RUN}</script>`,
  `</script><script>${RUN}</script>`,
  `<iframe src="javascript:${RUN}"></iframe>`,
  `http://x.invalid/"onmouseover="${RUN}`,
  `<a href="&#106;avascript:${RUN}">entity</a>`,
  `'); ${RUN}; ('`,
  // The window runs the statements of each answer that carries lines: a line
  // must not end the script string they stand in.
  `"; ${RUN}; "`,
  `\\"; ${RUN}; //`,
  `<\\/script><script>${RUN}<\\/script>`,  // as the window's script string writes it
];

const ADDRESSEES = [
  `x onmouseover=${RUN} y`,
  `x\tonmouseover=${RUN}`,
  `x%27);${RUN};//`,
  `x%20onmouseover%3D${RUN}%20y`,
];

// Names that pass the name rule but differ decoded and raw.
const NAMES = [
  `x+onmouseover=${encodeURIComponent(RUN)}+y`,
  `x%20onmouseover%3D${encodeURIComponent(RUN)}%20y`,
];

// Whether a payload ran anywhere in the page or its frames.
async function ran(page) {
  const flags = [];
  for (const f of page.frames()) {
    const hit = await f.evaluate(() => !!(window.pwned || (window.top && window.top.pwned))).catch(() => false);
    if (hit) flags.push(f.name() || "top");
  }
  const dialogs = page.errors.filter((e) => e.startsWith("dialog:"));
  return flags.concat(dialogs);
}

// Elements of the message panes and the user list that a visitor's text
// must never become: script, frames, SVG, styles, handlers, boxes laid over
// the page.
async function escapedElements(page) {
  const found = [];
  for (const name of ["board", "mymsg", "users"]) {
    const bad = await frame(page, name).evaluate(() => {
      const out = [];
      // The page's own scripts are its files under js/; no visitor's text
      // can name one (the guard refuses every script element).
      for (const s of document.body.querySelectorAll("script")) {
        if (!/^js\/[a-z_]+\.js$/.test(s.getAttribute("src") || "")) out.push("script");
      }
      for (const el of document.body.querySelectorAll("*")) {
        const tag = el.tagName.toLowerCase();
        if (["iframe", "svg", "style", "object", "embed", "frame", "math", "form"].includes(tag)) out.push(tag);
        for (const a of el.attributes) {
          if (a.name.startsWith("on") || a.name == "style") out.push(`${tag}[${a.name}]`);
          if (/^\s*(javascript|data):/i.test(a.value))
            out.push(`${tag}[${a.name}=${a.value.slice(0, 40)}]`);
        }
        const pos = getComputedStyle(el).position;
        if (pos == "fixed" || pos == "absolute") out.push(`${tag} ${pos}`);
      }
      return out;
    });
    for (const b of bad) found.push(`${name}: ${b}`);
  }
  return found;
}

// Where the mouse goes in one view of a document: the middle of the left
// end of every line (the elements directly in the body), every link and
// name, and every picture showing there, in the page's coordinates.
function spotsInView(view) {
  scrollTo(0, view * innerHeight);
  const o = window.frameElement ? frameElement.getBoundingClientRect() : { left: 0, top: 0 };
  const out = [];
  for (const el of document.body.querySelectorAll("body > *, a, img, input, textarea, select")) {
    if (["SCRIPT", "BR", "OPTION"].includes(el.tagName)) continue;
    const b = el.getBoundingClientRect();
    if (!b.width || !b.height || b.bottom <= 0 || b.top >= innerHeight || b.right <= 0 || b.left >= innerWidth) continue;
    const x = Math.max(b.left, 0) + Math.min(b.width / 2, 6);
    const y = (Math.max(b.top, 0) + Math.min(b.bottom, innerHeight)) / 2;
    out.push({ x: o.left + x, y: o.top + y, click: !el.closest('a[target="_blank"]') });
  }
  return out;
}

// Moves the real mouse over every element of the panes and the list, view
// by view, then clicks every name link and every line (never the links that
// open a new window).
async function sweep(page, names = ["board", "mymsg", "users"], click = true) {
  for (const name of names) {
    const f = name ? frame(page, name) : page.mainFrame();
    // A pane that is not shown (the own pane when it is off) has no views.
    const views = await f.evaluate(() => innerHeight > 0
      ? Math.min(Math.ceil(document.documentElement.scrollHeight / innerHeight), 50) : 0).catch(() => 0);
    for (let view = 0; view < views; view++) {
      const spots = await f.evaluate(spotsInView, view).catch(() => []);
      for (const s of spots) await page.mouse.move(s.x, s.y);
      if (click) for (const s of spots) if (s.click) await page.mouse.click(s.x, s.y);
    }
  }
  await sleep(300);
}

async function expectNothingRan(page, what) {
  const hits = await ran(page);
  expect(hits.length === 0, `${what}: a visitor's text ran: ${hits.join(", ")}`);
  const escaped = await escapedElements(page);
  expect(escaped.length === 0, `${what}: elements escaped their place: ${escaped.join(", ")}`);
}

// The chat window entered by an address built by hand, as a hostile visitor
// would, bypassing the checks of the start page.
async function enterByAddress(page, name, room = 1, password = "") {
  await page.goto(`${base}/chat.ghp?username=${name}&password=${password}&room=${room}&sex=1`,
                  { waitUntil: "domcontentloaded" });
  if (!(await page.$('iframe[name="chatsubmit"]')))
    throw new Error(`${name} not admitted: ${(await page.innerText("body")).slice(0, 200)}`);
  for (let i = 0; i < 50 && !page.frame({ name: "chatsubmit" }); i++) await sleep(100);
  await frame(page, "chatsubmit").waitForSelector("#message");
  await sleep(500);
  return page;
}

// Sends "to you" to `to`; false when the server refused the addressee (the
// window keeps the line and shows why; the input is emptied again here).
async function sayTo(page, to) {
  const f = frame(page, "chatsubmit");
  await f.fill("#mtowho", to);
  await f.fill("#message", "to you");
  await f.click("#sendbutton");
  const notice = () => page.evaluate(() => document.getElementById("notice").textContent);
  for (const deadline = Date.now() + WAIT; Date.now() < deadline; await sleep(100)) {
    if ((await f.inputValue("#message")) === "") return true;
    const said = await notice();
    if (said) {
      expect(said.includes("This username is not allowed"), `addressee ${to} refused with: ${said}`);
      await f.fill("#message", "");
      await page.evaluate(() => { document.getElementById("notice").textContent = ""; });
      return false;
    }
  }
  throw new Error(`the line to ${to} was neither sent nor refused`);
}

// The registration form's post, sent as the hostile visitor likes.
async function postRegistration(page, fields) {
  return page.evaluate(async (f) => {
    const body = Object.entries(f).map(([k, v]) => `${k}=${encodeURIComponent(v)}`).join("&") + "&submit1=x";
    const r = await fetch("/registresult.htm", { method: "POST", body });
    return r.text();
  }, { UserName: "", Password: "", Password1: "", Sex: "2", Email: "", Icon: "1.gif", Resume: "", cw: "1",
       Old: "", ...fields });
}

test("hostile lines run nothing in another visitor's window", async () => {
  // In the members' room, so that the lines do not stay in the Lobby's ring
  // for the tests after this one.
  const ann = await newPage(), eve = await newPage();
  await register(ann, "annh", "pwannh");
  await register(eve, "eveh", "pweveh");
  await enter(ann, "annh", "Members", { password: "pwannh" });
  await enter(eve, "eveh", "Members", { password: "pweveh" });
  for (const m of MESSAGES) await say(eve, m);
  await waitText(ann, "board", "entity");
  await expectNothingRan(ann, "after loading");
  await sweep(ann);
  await expectNothingRan(ann, "after the mouse and the clicks");
  fs.mkdirSync(artifacts, { recursive: true });
  await ann.screenshot({ path: path.join(artifacts, "hostile-lines.png") });
  // The sender's own window shows the same lines.
  await sweep(eve);
  await expectNothingRan(eve, "in the sender's own window");
  // The lines are shown, as text where they were dangerous.
  const board = await frameText(ann, "board");
  expect(board.includes("<img src=x onerror="), "the picture attack is not shown as text: " + board.slice(-400));
  expect(board.includes("<div style=") && board.includes("cover"), "the covering box is not shown as text");
  expect(board.includes("hover me"), "formatting text lost");
});

test("hostile addressees and names run nothing in another visitor's window", async () => {
  const ann = await enter(await newPage(), "anna", "Lobby");
  const eve = await enter(await newPage(), "evea", "Lobby");
  // The server takes an addressee only where it passes the name rule; a
  // refused line stays in the input with the refusal shown.
  let taken = 0;
  for (const to of ADDRESSEES) if (await sayTo(eve, to)) taken++;
  expect(taken >= 2, `only ${taken} hostile addressees were taken; the test needs them on the board`);
  // Names that pass the name rule, each in a window of its own, saying a line.
  for (const name of NAMES) {
    const p = await enterByAddress(await newPage(), name);
    await say(p, "named line");
  }
  await waitText(ann, "board", "named line");
  await sleep(2500);  // one more poll: the list has every name
  await expectNothingRan(ann, "after loading");
  await sweep(ann);
  await expectNothingRan(ann, "after the mouse and the clicks");
  // A name clicked on the board becomes the addressee exactly.
  const f = frame(ann, "board");
  await f.click(`a:text-is("x onmouseover=${RUN} y")`, { timeout: 5000 });
  // The link runs a little later, in the input frame.
  const wanted = `x onmouseover=${RUN} y`;
  const handed = await frame(ann, "chatsubmit").waitForFunction(
    (w) => document.getElementById("mtowho").value === w, wanted, { timeout: 5000, polling: 100 })
    .then(() => true, () => false);
  expect(handed, "getname did not hand over the name as typed: " +
                 (await frame(ann, "chatsubmit").inputValue("#mtowho")));
  await expectNothingRan(ann, "after clicking the addressee");
});

test("hostile pictures, e-mail and profile run nothing", async () => {
  const eve = await newPage();
  await eve.goto(base + "/register.ghp", { waitUntil: "load" });
  // A picture that is not one of images/ is refused at registration.
  for (const icon of [`x onerror=${RUN} x.gif`, "../users/annp", `"><img src=x onerror=${RUN}>`]) {
    const answer = await postRegistration(eve, { UserName: "evep", Password: "pw", Password1: "pw", Icon: icon });
    expect(answer.includes("Please choose one of the pictures"), `picture ${icon} taken: ${answer}`);
  }
  expect(!fs.existsSync(path.join(server.program, "users", "evep")), "account written with a bad picture");
  // E-mail and profile are kept as typed and shown as text.
  const email = `"><img src=x onerror=${RUN}>`;
  const profile = `</textarea><img src=x onerror=${RUN}><textarea>`;
  const answer = await postRegistration(eve, { UserName: "evep", Password: "pw", Password1: "pw",
                                               Email: email, Resume: profile });
  expect(answer.includes("Congratulations"), "registration failed: " + answer);
  await eve.goto(base + "/register.ghp?username=evep&password=pw", { waitUntil: "load" });
  expect((await eve.inputValue("#Email")) === email, "e-mail not shown as typed");
  expect((await eve.inputValue("#Resume")) === profile, "profile not shown as typed");
  await sweep(eve, [null], false);
  expect((await ran(eve)).length === 0, "the change form ran the e-mail or profile: " + (await ran(eve)).join());
  // Pictures stored by another hand (an old form, an edited file) fall back
  // to the default picture in every list.
  fs.writeFileSync(path.join(server.program, "users", "pic1"),
                   `[main]\r\npassword=pw\r\nIcon=x onerror=${RUN} x.gif\r\n`);
  fs.writeFileSync(path.join(server.program, "users", "pic2"),
                   `[main]\r\npassword=pw\r\nsex=1 onerror=${RUN} x\r\n`);
  const ann = await enter(await newPage(), "annp", "Lobby");
  await enter(await newPage(), "pic1", "Lobby", { password: "pw" });
  await enter(await newPage(), "pic2", "Lobby", { password: "pw" });
  await enter(eve, "evep", "Lobby", { password: "pw" });
  await waitText(ann, "users", "pic2");
  await waitText(ann, "users", "evep");
  await expectNothingRan(ann, "the list with the pictures");
  await sweep(ann);
  await expectNothingRan(ann, "the list after the mouse and the clicks");
  const pictures = await frameEval(ann, "users", () => [...document.images].map((i) => i.getAttribute("src")));
  expect(pictures.every((s) => /^\/images\/[A-Za-z0-9_.-]+$/.test(s)), "pictures: " + pictures.join(" "));
});

test("without the key nobody reads, speaks or leaves as another visitor", async () => {
  const ann = await enter(await newPage(), "annk", "Lobby");
  const bob = await enter(await newPage(), "bobk", "Lobby");
  const eve = await enter(await newPage(), "evek", "Lobby");
  await say(bob, "secret for ann", { to: "annk", priv: true });
  await waitText(ann, "board", "secret for ann");
  await say(bob, "second secret", { to: "annk", priv: true });
  // eve knows ann's name and room, but not her key.
  const tries = await eve.evaluate(async () => {
    const get = async (u) => (await fetch(u, { cache: "no-store" })).text();
    const out = {};
    out.poll = await get("body.ghp?username=annk&password=&room=1");
    out.users = await get("users.ghp?username=annk&password=&room=1");
    out.enter = await get("chat.ghp?username=annk&password=&room=1&sex=1");
    out.enterKey = await get("chat.ghp?username=annk&password=0123456789abcdef0123456789abcdef&room=1&sex=1");
    const r = await fetch("chatsubmit.ghp?username=annk&password=&room=1", { method: "POST",
      body: "message=I+am+ann+%28not%29&chat_flag=1&mtowho=All&mfilters=0&mfont=0&mfcolor=1&elist=0&seltype=0&msg=" });
    out.post = await r.text();
    out.exit = await get("exit.ghp?username=annk&password=&room=1");
    navigator.sendBeacon("exit.ghp?username=annk&password=&room=1");
    return out;
  });
  expect(!tries.poll.includes("second secret"), "eve read ann's private line");
  expect(!tries.post.includes("secret"), "eve's post answer carried ann's lines");
  expect(tries.post.includes("invalid username!"), "eve posted as ann: " + tries.post.slice(0, 200));
  expect(!tries.users.includes("&lt;==") && !tries.users.includes("<=="), "eve got ann's own mark");
  expect(tries.enter.includes("This username has logged on"), "eve took ann's name: " + tries.enter.slice(0, 200));
  // A made-up key has the form of one: it opens nothing and is told so.
  expect(tries.enterKey.includes("has ended"), "a made-up key entered: " + tries.enterKey.slice(0, 200));
  await sleep(2500);
  // Ann still gets her line, is still listed, and nothing was said in her name.
  await waitText(ann, "board", "second secret");
  await waitText(bob, "users", "annk");
  expect(!(await frameText(bob, "board")).includes("I am ann"), "a line in ann's name reached bob");
  expect(!(await frameText(eve, "board")).includes("second secret"), "eve's board shows ann's private line");
  // Ann, with her key, still acts for herself; her window's beacon leaves.
  await say(ann, "still me");
  await waitText(bob, "board", "still me");
  const entry = await ann.evaluate(() => JSON.parse(sessionStorage.getItem("tvl-entry")));
  expect(/^[0-9a-f]{32}$/.test(entry.key || ""), "ann's window does not carry a guest key: " + entry.key);
  expect(!ann.url().includes(entry.key), "the address shows the key: " + ann.url());
  await ann.evaluate((e) => navigator.sendBeacon(`exit.ghp?username=${e.name}&password=${e.key}&room=${e.room}`),
                     entry);
  // (Her window, still open, then comes back to the place as a reload does;
  // its Leave button ends it for good.)
  await waitText(bob, "board", "annk left the chat room...");
  await ann.click("#leave");
  await waitNoText(bob, "users", "annk");
});
