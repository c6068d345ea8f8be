// Shared parts of the browser tests of the shipped site: a temporary copy of
// the program folder served by tvlService on a free loopback port, one
// chromium driven through playwright-core, and the steps a visitor takes.
// Every wait is bounded.
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const here = path.dirname(fileURLToPath(import.meta.url));
export const artifacts = path.join(here, "artifacts");
export const TEST_TIMEOUT = 90_000;   // one test, all its steps
export const WAIT = 15_000;           // one expected change in a page

// ---------------------------------------------------------------- server --

// A port nothing listens on, chosen below the range the system hands out
// to clients (32768 and up on Linux): a port the system picked would be one
// that any client connecting meanwhile, ours or another program's, may take
// before tvlService binds it.
function tryPort(port) {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.once("error", () => resolve(false));
    s.listen(port, "0.0.0.0", () => s.close(() => resolve(true)));
  });
}

export async function freePort() {
  for (let i = 0; i < 200; i++) {
    const port = 20000 + Math.floor(Math.random() * 12768);
    if (await tryPort(port)) return port;
  }
  throw new Error("no free port below 32768");
}

export function portOpen(port) {
  return new Promise((resolve) => {
    const c = net.connect({ port, host: "127.0.0.1" });
    const done = (ok) => { c.destroy(); resolve(ok); };
    c.once("connect", () => done(true));
    c.once("error", () => done(false));
    c.setTimeout(1000, () => done(false));
  });
}

// `ini` is added to its option.ini (e.g. a [Cluster] section).
export async function startServer(dist, { ini = "" } = {}) {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "tvl-e2e-"));
  const program = path.join(tmp, "program");
  fs.cpSync(dist, program, { recursive: true });
  for (const dir of ["users", "log"]) fs.mkdirSync(path.join(program, dir), { recursive: true });
  const stateDir = path.join(tmp, "state");
  const configDir = path.join(tmp, "config");
  fs.mkdirSync(stateDir); fs.mkdirSync(configDir);
  const port = await freePort();
  // Every visitor of the suites comes from 127.0.0.1, and a suite types its
  // lines faster than a person: no bound on places per address or on lines
  // per place (their own tests, tests/visitor_bounds_test.cpp, set them).
  fs.writeFileSync(path.join(program, "option.ini"),
    `[Server]\r\nWebPages=\r\nDefaultPage=index.ghp\r\nstartup=0\r\nAutoActive=0\r\nMinimize=0\r\n` +
    `Savelog=1\r\nPort=${port}\r\nRegNew=1\r\nFilterMode=0\r\n` +
    // Every visitor of these tests comes from 127.0.0.1, registering many
    // accounts and trying wrong passwords on purpose: the bounds per address
    // are lifted here.
    `MaxFailedLogins=0\r\nMaxRegistrationsPerHour=0\r\nMaxPlacesPerAddress=0\r\nPostBurst=0\r\n` + ini);
  const env = { ...process.env, TAVELLA_STATE_DIR: stateDir, XDG_CONFIG_HOME: configDir };
  const srv = { port, program, tmp, child: null, exited: true };
  // Starts the program and waits until it listens.
  srv.start = async () => {
    const log = fs.openSync(path.join(tmp, "server.out"), "a");
    const child = spawn(path.join(program, "tvlService"), [], { cwd: program, env, stdio: ["ignore", log, log] });
    fs.closeSync(log);
    srv.child = child;
    srv.exited = false;
    child.once("exit", () => { if (srv.child === child) srv.exited = true; });
    const deadline = Date.now() + 20_000;
    while (!(await portOpen(port))) {
      if (srv.exited || Date.now() > deadline) {
        const out = fs.readFileSync(path.join(tmp, "server.out"), "utf8");
        throw new Error(`tvlService did not listen on ${port}:\n${out}`);
      }
      await sleep(200);
    }
  };
  // Ends the program (SIGTERM, then SIGKILL after 5 s); the folder stays.
  srv.halt = async () => {
    if (!srv.exited) {
      srv.child.kill("SIGTERM");
      for (let i = 0; i < 50 && !srv.exited; i++) await sleep(100);
      if (!srv.exited) srv.child.kill("SIGKILL");
      for (let i = 0; i < 50 && !srv.exited; i++) await sleep(100);
    }
  };
  srv.stop = async () => {
    await srv.halt();
    fs.rmSync(tmp, { recursive: true, force: true });
  };
  await srv.start();
  return srv;
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export function bounded(promise, ms, what) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

// ---------------------------------------------------------------- browser --

export let browser, base, server;
const openContexts = [];

export async function newPage() {
  const context = await browser.newContext({ viewport: { width: 1100, height: 720 } });
  openContexts.push(context);
  return watched(await context.newPage());
}

// Another tab of the browser of `page` (same storage and channels).
export async function newTabOf(page) {
  return watched(await page.context().newPage());
}

function watched(page) {
  page.setDefaultTimeout(WAIT);
  page.errors = [];
  page.on("pageerror", (e) => page.errors.push(String(e)));
  page.on("dialog", (d) => { page.errors.push("dialog: " + d.message()); d.dismiss().catch(() => {}); });
  watchPolicy(page);
  return page;
}

// Every refusal of the pages' Content Security Policy in any page or frame of
// a test, collected for run.mjs, which fails the test when there is one.
// Chromium writes each refusal to the console; the pages' own event says
// which directive and address too (a listener of each new document: one the
// window writes over itself keeps only the console).
export const policyViolations = [];
function watchPolicy(page) {
  page.on("console", (m) => {
    if (/Content Security Policy|securitypolicyviolation/i.test(m.text()))
      policyViolations.push(`${page.url()}: ${m.text().slice(0, 300)}`);
  });
  page.addInitScript(() => {
    document.addEventListener("securitypolicyviolation", (e) => {
      console.error(`securitypolicyviolation ${e.violatedDirective} ${e.blockedURI} at ${e.sourceFile}:${e.lineNumber}`);
    });
  }).catch(() => {});
}

export async function closeContexts() {
  while (openContexts.length) await openContexts.pop().close().catch(() => {});
}

export function frame(page, name) {
  const f = page.frame({ name });
  if (!f) throw new Error(`no frame named ${name}`);
  return f;
}

// Runs fn in a frame; a frame that reloads meanwhile (the user list does so
// whenever somebody comes or goes) is asked again once its new page is there.
export async function frameEval(page, name, fn, arg) {
  for (let tries = 0; ; tries++) {
    try {
      return await frame(page, name).evaluate(fn, arg);
    } catch (e) {
      if (tries >= 20 || !/context was destroyed|navigat/i.test(String(e && e.message))) throw e;
      await sleep(100);
    }
  }
}

export async function frameText(page, name) {
  return frameEval(page, name, () => document.body ? document.body.innerText : "");
}

export async function waitText(page, name, text, timeout = WAIT) {
  try {
    await frame(page, name).waitForFunction(
      (t) => document.body && document.body.innerText.includes(t), text, { timeout, polling: 200 });
  } catch (e) {
    const now = await frameText(page, name).catch(() => "?");
    throw new Error(`frame ${name} never showed ${JSON.stringify(text.slice(0, 80))}; it shows: ` +
                    JSON.stringify(now.slice(-300)));
  }
}

export async function waitNoText(page, name, text, timeout = WAIT) {
  await frame(page, name).waitForFunction(
    (t) => document.body && !document.body.innerText.includes(t), text, { timeout, polling: 200 });
}

export async function lobby(page) {
  await page.goto(base + "/", { waitUntil: "load" });
  await page.waitForSelector("#rooms .room");
  return page.evaluate(() => {
    const out = [], rooms = tvlScript.array(document.getElementById("tvl-rooms").textContent, "rooms");
    for (let i = 0; i + 6 < rooms.length; i += 7)
      out.push({ name: rooms[i], users: Number(rooms[i + 1]), admin: rooms[i + 3], number: rooms[i + 6] });
    return out;
  });
}

// Fills the start page's form and presses "Enter the room" (the page asks the
// server first and becomes the chat window, or shows the refusal).
export async function submitEntry(page, name, room, { password = "", picture = 1 } = {}) {
  await lobby(page);
  await page.click(`#rooms .room:has(.name:text-is("${room}"))`);
  await page.fill("#username", name);
  await page.fill("#password", password);
  await page.click(`#pictures input[value="${picture}"] + img`);
  await page.click("#enter");
}

// Waits until the chat window of `name` runs (after an entry or a reload).
export async function chatRuns(page, name) {
  await page.waitForFunction(() => document.querySelector('iframe[name="chatsubmit"]') ||
                                    document.querySelector("#login-error.refused"), null, { timeout: WAIT });
  if (!(await page.$('iframe[name="chatsubmit"]')))
    throw new Error(`${name} not admitted: ${(await page.innerText("#login-error")).slice(0, 200)}`);
  // The frames are named for playwright once their first page commits.
  for (const deadline = Date.now() + WAIT; ; await sleep(100)) {
    const named = ["board", "users", "chatsubmit"].every((n) => page.frame({ name: n }));
    if (named) break;
    if (Date.now() > deadline) throw new Error(`${name}: the chat window's frames never loaded`);
  }
  await waitText(page, "users", name);
  await frame(page, "chatsubmit").waitForSelector("#message");
  return page;
}

// Enters a room from the start page and waits until the chat window runs.
export async function enter(page, name, room, options = {}) {
  await submitEntry(page, name, room, options);
  return chatRuns(page, name);
}

// Sends one line through the input form.
export async function say(page, text, { to = "All", priv = false, split = null, command = 0 } = {}) {
  const f = frame(page, "chatsubmit");
  await f.fill("#mtowho", to);
  await f.setChecked("#mqqsay", priv);
  if (split !== null && (await f.isChecked("#msplit")) !== split) {
    await f.setChecked("#msplit", split);
    await sleep(500);  // the pane choice is posted on its own
  }
  if (command) await f.selectOption("#mfilters", String(command));  // shown to administrators only
  await f.fill("#message", text);
  await f.click("#sendbutton");
  await f.waitForFunction(() => document.getElementById("message").value === "", null, { timeout: WAIT });
}

export async function register(page, name, password, { icon = "2.gif", sex = "2", resume = "" } = {}) {
  await page.goto(base + "/register.ghp", { waitUntil: "load" });
  await page.fill("#UserName", name);
  await page.fill("#Password", password);
  await page.fill("#Password1", password);
  await page.check(`input[name="Sex"][value="${sex}"]`);
  await page.fill("#Email", `${name}@example.org`);
  await page.selectOption("#Icon", icon);
  await page.fill("#Resume", resume);
  // The post navigates the result frame: wait for that navigation to end
  // before reading the frame, or the read races the page being replaced.
  const result = page.frame({ name: "result" });
  await Promise.all([result.waitForURL(/registresult\.htm/, { waitUntil: "load", timeout: WAIT }),
                     page.click("#submit1")]);
  await result.waitForFunction(() => document.body && document.body.innerText.includes("Congratulations"),
                               null, { timeout: WAIT });
  return result.evaluate(() => document.body.innerText);
}

// The chat window's notice line (bans, refusals of the input form).
export async function waitNotice(page, text) {
  try {
    await page.waitForFunction((t) => document.getElementById("notice").textContent.includes(t), text,
                               { timeout: WAIT, polling: 200 });
  } catch (e) {
    const notice = await page.evaluate(() => document.getElementById("notice").textContent).catch(() => "?");
    const banner = await page.evaluate(() => document.getElementById("banner").textContent).catch(() => "?");
    throw new Error(`notice never said ${JSON.stringify(text)}; notice ${JSON.stringify(notice)}, ` +
                    `banner ${JSON.stringify(banner)}`);
  }
}

export function expect(cond, message) { if (!cond) throw new Error(message); }

// Thrown by a test that cannot run here (a tool it drives is missing); the
// run says so and counts it apart, neither passed nor failed.
export class Skipped extends Error {}

// ---------------------------------------------------------------- set-up --

// Starts the server on a copy of `dist` and chromium; `finish` ends both.
export async function setUp(dist) {
  server = await startServer(dist);
  base = `http://127.0.0.1:${server.port}`;
  browser = await bounded(chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox", "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    timeout: 30_000,
  }), 40_000, "chromium start");
}

export async function finish() {
  if (browser) await bounded(browser.close(), 15_000, "closing chromium").catch(() => {});
  if (server) await server.stop().catch(() => {});
}

// Interrupted: the server must not outlive the run.
export function killServer() {
  if (server && server.child && !server.exited) server.child.kill("SIGKILL");
}

// Enters a room through the start page at `base` (a proxy's).
export async function enterVia(page, base, name, room) {
  await page.goto(base + "/", { waitUntil: "load" });
  await page.waitForSelector("#rooms .room");
  await page.click(`#rooms .room:has(.name:text-is("${room}"))`);
  await page.fill("#username", name);
  await page.fill("#password", "");
  await page.click('#pictures input[value="1"] + img');
  await page.click("#enter");
  return chatRuns(page, name);
}

// Records the page's questions for new lines: { stream, wait, at }.
export function bodyRequests(page) {
  const seen = [];
  page.on("request", (r) => {
    const u = new URL(r.url());
    if (u.pathname.endsWith("/body.ghp"))
      seen.push({ stream: u.search.includes("&stream=1"), wait: u.search.includes("&wait=1"), at: Date.now() });
  });
  return seen;
}
