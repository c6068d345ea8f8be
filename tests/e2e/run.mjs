// Browser tests of the shipped site: a temporary copy of the program folder
// is served by tvlService on a free loopback port and driven through Debian's
// chromium. Usage: node tests/e2e/run.mjs <dist folder>
// Prints one line per test and "N passed, N failed" last; exits non-zero on
// any failure. Every wait is bounded; the server is stopped whatever happens.
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const here = path.dirname(fileURLToPath(import.meta.url));
const dist = path.resolve(process.argv[2] || path.join(here, "../../build/dist"));
const artifacts = path.join(here, "artifacts");
const TEST_TIMEOUT = 90_000;   // one test, all its steps
const WAIT = 15_000;           // one expected change in a page

// ---------------------------------------------------------------- server --

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once("error", reject);
    s.listen(0, "127.0.0.1", () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

function portOpen(port) {
  return new Promise((resolve) => {
    const c = net.connect({ port, host: "127.0.0.1" });
    const done = (ok) => { c.destroy(); resolve(ok); };
    c.once("connect", () => done(true));
    c.once("error", () => done(false));
    c.setTimeout(1000, () => done(false));
  });
}

async function startServer() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "tvl-e2e-"));
  const program = path.join(tmp, "program");
  fs.cpSync(dist, program, { recursive: true });
  for (const dir of ["users", "log"]) fs.mkdirSync(path.join(program, dir), { recursive: true });
  const stateDir = path.join(tmp, "state");
  const configDir = path.join(tmp, "config");
  fs.mkdirSync(stateDir); fs.mkdirSync(configDir);
  const port = await freePort();
  fs.writeFileSync(path.join(program, "option.ini"),
    `[Server]\r\nWebPages=\r\nDefaultPage=index.ghp\r\nstartup=0\r\nAutoActive=0\r\nMinimize=0\r\n` +
    `Savelog=1\r\nPort=${port}\r\nRegNew=1\r\nFilterMode=0\r\n`);
  const log = fs.openSync(path.join(tmp, "server.out"), "w");
  const child = spawn(path.join(program, "tvlService"), [], {
    cwd: program,
    env: { ...process.env, TAVELLA_STATE_DIR: stateDir, XDG_CONFIG_HOME: configDir },
    stdio: ["ignore", log, log],
  });
  let exited = false;
  child.once("exit", () => { exited = true; });
  const deadline = Date.now() + 20_000;
  while (!(await portOpen(port))) {
    if (exited || Date.now() > deadline) {
      const out = fs.readFileSync(path.join(tmp, "server.out"), "utf8");
      throw new Error(`tvlService did not listen on ${port}:\n${out}`);
    }
    await sleep(200);
  }
  const stop = async () => {
    if (!exited) {
      child.kill("SIGTERM");
      for (let i = 0; i < 50 && !exited; i++) await sleep(100);
      if (!exited) child.kill("SIGKILL");
    }
    fs.rmSync(tmp, { recursive: true, force: true });
  };
  return { port, program, stop, child };
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function bounded(promise, ms, what) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

// ---------------------------------------------------------------- browser --

let browser, base, server;
const openContexts = [];

async function newPage() {
  const context = await browser.newContext({ viewport: { width: 1100, height: 720 } });
  openContexts.push(context);
  const page = await context.newPage();
  page.setDefaultTimeout(WAIT);
  page.errors = [];
  page.on("pageerror", (e) => page.errors.push(String(e)));
  page.on("dialog", (d) => { page.errors.push("dialog: " + d.message()); d.dismiss().catch(() => {}); });
  return page;
}

async function closeContexts() {
  while (openContexts.length) await openContexts.pop().close().catch(() => {});
}

function frame(page, name) {
  const f = page.frame({ name });
  if (!f) throw new Error(`no frame named ${name}`);
  return f;
}

async function frameText(page, name) {
  return frame(page, name).evaluate(() => document.body ? document.body.innerText : "");
}

async function waitText(page, name, text, timeout = WAIT) {
  try {
    await frame(page, name).waitForFunction(
      (t) => document.body && document.body.innerText.includes(t), text, { timeout, polling: 200 });
  } catch (e) {
    const now = await frameText(page, name).catch(() => "?");
    throw new Error(`frame ${name} never showed ${JSON.stringify(text.slice(0, 80))}; it shows: ` +
                    JSON.stringify(now.slice(-300)));
  }
}

async function waitNoText(page, name, text, timeout = WAIT) {
  await frame(page, name).waitForFunction(
    (t) => document.body && !document.body.innerText.includes(t), text, { timeout, polling: 200 });
}

async function lobby(page) {
  await page.goto(base + "/", { waitUntil: "load" });
  await page.waitForSelector("#rooms .room");
  return page.evaluate(() => {
    const out = [];
    for (let i = 0; i + 6 < rooms.length; i += 7)
      out.push({ name: rooms[i], users: Number(rooms[i + 1]), admin: rooms[i + 3], number: rooms[i + 6] });
    return out;
  });
}

// Enters a room from the start page and waits until the chat window runs.
async function enter(page, name, room, { password = "", picture = 1 } = {}) {
  await lobby(page);
  await page.click(`#rooms .room:has(.name:text-is("${room}"))`);
  await page.fill("#username", name);
  await page.fill("#password", password);
  await page.click(`#pictures input[value="${picture}"] + img`);
  await Promise.all([page.waitForURL(/chat\.ghp/), page.click("#enter")]);
  await page.waitForLoadState("domcontentloaded");
  if (!(await page.$('iframe[name="chatsubmit"]')))
    throw new Error(`${name} not admitted to ${room}: ${(await page.innerText("body")).slice(0, 200)}`);
  await waitText(page, "users", name);
  await frame(page, "chatsubmit").waitForSelector("#message");
  return page;
}

// Sends one line through the input form.
async function say(page, text, { to = "All", priv = false, split = null, command = 0 } = {}) {
  const f = frame(page, "chatsubmit");
  await f.fill("#mtowho", to);
  await f.setChecked("#mqqsay", priv);
  if (split !== null && (await f.isChecked("#msplit")) !== split) {
    await f.setChecked("#msplit", split);
    await sleep(500);  // the pane choice is posted on its own
  }
  await f.selectOption("#mfilters", String(command));
  await f.fill("#message", text);
  await f.click("#sendbutton");
  await f.waitForFunction(() => document.getElementById("message").value === "", null, { timeout: WAIT });
}

async function register(page, name, password, { icon = "2.gif", sex = "2", resume = "" } = {}) {
  await page.goto(base + "/register.ghp", { waitUntil: "load" });
  await page.fill("#UserName", name);
  await page.fill("#Password", password);
  await page.fill("#Password1", password);
  await page.check(`input[name="Sex"][value="${sex}"]`);
  await page.fill("#Email", `${name}@example.org`);
  await page.selectOption("#Icon", icon);
  await page.fill("#Resume", resume);
  await page.click("#submit1");
  const result = page.frame({ name: "result" });
  await result.waitForFunction(() => document.body && document.body.innerText.includes("Congratulations"),
                               null, { timeout: WAIT });
  return result.evaluate(() => document.body.innerText);
}

// The chat window's notice line (bans, refusals of the input form).
async function waitNotice(page, text) {
  try {
    await page.waitForFunction((t) => document.getElementById("notice").textContent.includes(t), text,
                               { timeout: WAIT, polling: 200 });
  } catch (e) {
    const notice = await page.evaluate(() => document.getElementById("notice").textContent).catch(() => "?");
    const poll = await frameText(page, "poll").catch(() => "?");
    const send = await frameText(page, "send").catch(() => "?");
    throw new Error(`notice never said ${JSON.stringify(text)}; notice ${JSON.stringify(notice)}, ` +
                    `poll frame ${JSON.stringify(poll.slice(0, 200))}, send frame ${JSON.stringify(send.slice(0, 200))}`);
  }
}

function expect(cond, message) { if (!cond) throw new Error(message); }

// ---------------------------------------------------------------- tests --

const tests = [];
const test = (name, fn) => tests.push({ name, fn });

test("two visitors enter one room and see each other's lines and names", async () => {
  const ann = await enter(await newPage(), "ann", "Lobby", { picture: 3 });
  fs.mkdirSync(artifacts, { recursive: true });
  const bob = await enter(await newPage(), "bob", "Lobby", { picture: 5 });
  await waitText(ann, "users", "bob");
  expect((await frameText(bob, "users")).includes("ann"), "bob's list lacks ann");
  await waitText(bob, "board", "joined the chat room");
  await say(ann, "hello from ann");
  await waitText(ann, "board", "hello from ann", 5000);  // the sender's own line comes at once
  await waitText(bob, "board", "hello from ann");
  await say(bob, "hi ann, bob here");
  await waitText(ann, "board", "hi ann, bob here");
  // Lines sent back to back all come back to their sender at once.
  await say(ann, "quick one");
  await say(ann, "quick two");
  await waitText(ann, "board", "quick one", 5000);
  await waitText(ann, "board", "quick two", 5000);
  await waitText(bob, "board", "quick two");
  const img = await frame(ann, "users").evaluate(() => [...document.images].map((i) => i.getAttribute("src")));
  expect(img.includes("/images/3.gif") && img.includes("/images/5.gif"), "pictures in the list: " + img);
  await ann.screenshot({ path: path.join(artifacts, "chat-two-users.png") });
  await bob.setViewportSize({ width: 390, height: 760 });
  await sleep(300);
  await bob.screenshot({ path: path.join(artifacts, "chat-phone.png") });
  for (const p of [ann, bob]) expect(p.errors.length === 0, "script errors: " + p.errors.join("; "));
});

test("a private line reaches only its addressee", async () => {
  const carl = await enter(await newPage(), "carl", "Lobby");
  const dora = await enter(await newPage(), "dora", "Lobby");
  const emil = await enter(await newPage(), "emil", "Lobby");
  await waitText(carl, "users", "emil");
  // Clicking a name in the list addresses the next line to that person.
  await frame(carl, "users").click('a:text-is("dora")');
  await frame(carl, "chatsubmit").waitForFunction(() => document.getElementById("mtowho").value === "dora");
  await say(carl, "psst dora only", { to: "dora", priv: true });
  await say(carl, "public after the secret");
  await waitText(dora, "board", "psst dora only");
  await waitText(emil, "board", "public after the secret");
  expect(!(await frameText(emil, "board")).includes("psst dora only"), "emil saw the private line");
  await waitText(carl, "board", "psst dora only", 5000);
});

test("split mode shows the own lines in their pane", async () => {
  const fay = await enter(await newPage(), "fay", "Lobby");
  const gil = await enter(await newPage(), "gil", "Lobby");
  await say(fay, "fay in her own pane", { split: true });
  await waitText(fay, "mymsg", "fay in her own pane", 5000);
  await waitText(gil, "board", "fay in her own pane");
  await say(gil, "gil to fay", { to: "fay" });
  await waitText(fay, "mymsg", "gil to fay");
  await say(gil, "gil to everybody");
  await waitText(fay, "board", "gil to everybody");
  const board = await frameText(fay, "board");
  expect(!board.includes("gil to fay") && !board.includes("fay in her own pane"), "own lines on the board");
});

test("a line of 3000 characters arrives whole", async () => {
  const hal = await enter(await newPage(), "hal", "Lobby");
  const ida = await enter(await newPage(), "ida", "Lobby");
  let line = "";
  for (let i = 0; line.length < 3000; i++) line += `w${i} `;
  line = "BEGIN" + line.slice(0, 3000 - 8) + "END";
  expect(line.length === 3000, "line length " + line.length);
  await say(hal, line);
  await waitText(ida, "board", line, 20_000);
  await waitText(hal, "board", line, 5000);
});

test("a room administrator bans and unbans a visitor", async () => {
  const adminPage = await newPage();
  expect((await register(adminPage, "admin", "adminpw", { icon: "4.gif" })).includes("Registration has been successful"),
         "admin registration failed");
  const rooms = await lobby(adminPage);
  const room = rooms.find((r) => /admin/.test(r.admin));
  expect(room, "no room names admin as administrator: " + JSON.stringify(rooms));
  // The visitor must be admitted to that room: in an administrators-only room
  // that is a member whose name the administrator text contains.
  const victimName = room.admin.includes("admin") ? "min" : "jon";
  const victimPage = await newPage();
  if (victimName === "min") await register(victimPage, "min", "minpw");
  const admin = await enter(adminPage, "admin", room.name, { password: "adminpw" });
  let victim;
  try {
    victim = await enter(victimPage, "jon", room.name);
  } catch (e) {
    victim = await enter(victimPage, "min", room.name, { password: "minpw" });
  }
  const vname = await victim.evaluate(() => new URL(location.href).searchParams.get("username"));
  await waitText(admin, "users", vname);
  await frame(admin, "users").click(`a:text-is("${vname}")`);
  await say(admin, "", { to: vname, command: 1 });
  await waitText(admin, "board", `[${vname}] has been banned!`);
  await waitNotice(victim, "banned");
  await say(admin, "said while banned");
  await say(admin, "", { to: vname, command: 2 });
  await waitText(admin, "board", `[${vname}] has been unbanned!`);
  await say(admin, "welcome back");
  await waitText(victim, "board", "welcome back", 25_000);
  await waitText(victim, "board", `[${vname}] has been unbanned!`);
  // Somebody who is not named in the room's administrator text gets "no permission!".
  const lobbyRoom = rooms.find((r) => r.name === "Lobby");
  expect(lobbyRoom && !lobbyRoom.admin.includes("zed9"), "no Lobby for the permission check");
  const zed = await enter(await newPage(), "zed9", "Lobby");
  await say(zed, "", { to: "somebody", command: 1 });
  await waitNotice(zed, "no permission!");
});

test("leaving removes the visitor from the other's list", async () => {
  const kim = await enter(await newPage(), "kim", "Lobby");
  const lou = await enter(await newPage(), "lou", "Lobby");
  await waitText(kim, "users", "lou");
  await Promise.all([lou.waitForURL(base + "/"), lou.click("#leave")]);
  await waitNoText(kim, "users", "lou");
  await waitText(kim, "board", "left the chat room...");
  // The name is free again in that room.
  await enter(lou, "lou", "Lobby");
});

test("a visitor registers, enters as a member with the picture and changes the profile", async () => {
  const page = await newPage();
  const answer = await register(page, "mia", "miapw1", { icon: "7.gif", sex: "0", resume: "I like tea" });
  expect(answer.includes("Congratulations! Your Registration has been successful."), answer);
  // Members keep their own picture whatever the start page offered.
  await enter(page, "mia", "Members", { password: "miapw1", picture: 2 });
  const pics = await frame(page, "users").evaluate(() => [...document.images].map((i) => i.getAttribute("src")));
  expect(pics.includes("/images/7.gif"), "member picture: " + pics);
  // A guest may not enter a members' room.
  const guest = await newPage();
  await lobby(guest);
  await guest.click('#rooms .room:has(.name:text-is("Members"))');
  await guest.fill("#username", "nobody");
  await Promise.all([guest.waitForURL(/chat\.ghp/), guest.click("#enter")]);
  expect((await guest.innerText("body")).includes("Guest is not allowed to join this room"), "guest admitted");
  // Changing the profile through the start page.
  await lobby(page);
  await page.fill("#pname", "mia");
  await page.fill("#ppass", "miapw1");
  await Promise.all([page.waitForURL(/register\.ghp\?username=mia/), page.click("#change button")]);
  expect((await page.inputValue("#cw")) === "0", "not the change form");
  expect((await page.inputValue("#Resume")) === "I like tea", "profile not shown");
  expect(await page.isChecked('input[name="Sex"][value="0"]'), "sex not shown");
  await page.selectOption("#Icon", "9.gif");
  await page.fill("#Resume", "I like coffee now");
  await page.click("#submit1");
  await page.frame({ name: "result" }).waitForFunction(
    () => document.body && document.body.innerText.includes("Your information has been changed successfully."),
    null, { timeout: WAIT });
  await page.goto(base + "/register.ghp?username=mia&password=miapw1");
  await page.screenshot({ path: path.join(artifacts, "profile.png"), fullPage: true });
  expect((await page.inputValue("#Icon")) === "9.gif", "picture not changed");
  expect((await page.inputValue("#Resume")) === "I like coffee now", "profile not changed");
  // Without the password the change form is not shown.
  await page.goto(base + "/register.ghp?username=mia&password=");
  expect((await page.innerText("body")).includes("Invalid username or password!"), "change form without password");
});

test("finding a user and the picture preview", async () => {
  const nia = await enter(await newPage(), "nia", "Lobby");
  const page = await newPage();
  await lobby(page);
  await page.fill("#findname", "NIA");
  await page.click("#find");
  const result = page.frame({ name: "findresult" });
  await result.waitForFunction(() => document.body && document.body.innerText.includes("is in"), null, { timeout: WAIT });
  expect((await result.evaluate(() => document.body.innerText)).includes("[NIA] is in [Lobby]"), "find result");
  await page.fill("#findname", "nobody-here");
  await page.click("#find");
  await result.waitForFunction(() => document.body && document.body.innerText.includes("Not found!"), null, { timeout: WAIT });
  await page.goto(base + "/previewicons.ghp");
  const images = await page.evaluate(async () => {
    const imgs = [...document.querySelectorAll("#icons img")];
    await Promise.all(imgs.map((i) => i.complete ? 0 : new Promise((r) => { i.onload = i.onerror = r; })));
    return imgs.map((i) => i.naturalWidth);
  });
  expect(images.length >= 12 && images.every((w) => w > 0), "pictures: " + images);
  await page.screenshot({ path: path.join(artifacts, "pictures.png") });
  expect(nia.errors.length === 0, nia.errors.join("; "));
});

test("a name with an HTML attack string is refused", async () => {
  const page = await newPage();
  await lobby(page);
  const attack = '<img src=x onerror=alert(1)>';
  await page.fill("#username", attack);
  await page.click("#enter");
  expect((await page.innerText("#login-error")).includes("Please use letters"), "lobby let the name through");
  // The server refuses it too, whoever builds the address.
  await page.goto(base + "/chat.ghp?username=" + encodeURIComponent(attack) + "&password=&room=1&sex=1");
  expect((await page.innerText("body")).includes("This username is not allowed"), "server admitted the name");
  const answer = await page.evaluate(async (name) => {
    const r = await fetch("/registresult.htm", { method: "POST",
      body: "UserName=" + encodeURIComponent(name) + "&Password=x&Password1=x&Sex=2&Email=a&Icon=1.gif&Resume=&cw=1&submit1=x" });
    return r.text();
  }, attack);
  expect(answer.includes("This username is not allowed"), "registration admitted the name: " + answer);
  expect(!fs.readdirSync(path.join(server.program, "users")).some((f) => f.includes("<")), "account file written");
  expect(page.errors.length === 0, page.errors.join("; "));
});

test("the start page lists the rooms with their counts and reads on a phone", async () => {
  const page = await newPage();
  await page.setViewportSize({ width: 390, height: 844 });
  const rooms = await lobby(page);
  expect(rooms.length >= 3, "rooms: " + JSON.stringify(rooms));
  const lobbyRoom = rooms.find((r) => r.name === "Lobby");
  expect(lobbyRoom && lobbyRoom.users >= 1, "Lobby count: " + JSON.stringify(lobbyRoom));
  const wide = await page.evaluate(() => document.documentElement.scrollWidth);
  expect(wide <= 390, "page wider than the phone: " + wide);
  fs.mkdirSync(artifacts, { recursive: true });
  await page.screenshot({ path: path.join(artifacts, "lobby-phone.png"), fullPage: true });
  await page.setViewportSize({ width: 1100, height: 800 });
  await page.screenshot({ path: path.join(artifacts, "lobby.png") });
});

// ---------------------------------------------------------------- main --

let passed = 0, failed = 0;
// Interrupted: stop the server before going.
for (const sig of ["SIGINT", "SIGTERM"]) {
  process.once(sig, () => {
    if (server && server.child.exitCode === null) server.child.kill("SIGKILL");
    process.exit(130);
  });
}
try {
  server = await startServer();
  base = `http://127.0.0.1:${server.port}`;
  browser = await bounded(chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox", "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    timeout: 30_000,
  }), 40_000, "chromium start");
  const only = process.env.E2E_ONLY || "";
  for (const t of tests) {
    if (only && !t.name.includes(only)) continue;
    const started = Date.now();
    try {
      await bounded(t.fn(), TEST_TIMEOUT, t.name);
      passed++;
      console.log(`ok   ${t.name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
    } catch (e) {
      failed++;
      console.log(`FAIL ${t.name}: ${e && e.message ? e.message.split("\n").slice(0, 6).join("\n     ") : e}`);
    } finally {
      await bounded(closeContexts(), 15_000, "closing pages").catch(() => {});
    }
  }
} catch (e) {
  failed++;
  console.log("FAIL set-up: " + (e && e.message ? e.message : e));
} finally {
  if (browser) await bounded(browser.close(), 15_000, "closing chromium").catch(() => {});
  if (server) await server.stop().catch(() => {});
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
