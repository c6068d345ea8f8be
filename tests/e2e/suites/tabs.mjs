// A copied tab of a chat window, and what addresses, history, Referer and the
// server's files hold of a member's password and a place's key.
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, base, server, newPage, newTabOf, frame, frameText, lobby, enter, chatRuns, say, register, waitText,
  expect, sleep,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

// Opens a copy of the tab `page` as the browser's "Duplicate tab" does: the
// same address and a copy of what the tab keeps (sessionStorage).
async function duplicate(page) {
  const kept = await page.evaluate(() => JSON.stringify(Object.assign({}, sessionStorage)));
  const tab = await newTabOf(page);
  await tab.addInitScript((items) => {
    if (sessionStorage.length) return;
    for (const [k, v] of Object.entries(JSON.parse(items))) sessionStorage.setItem(k, v);
  }, kept);
  await tab.goto(page.url(), { waitUntil: "load" });
  return tab;
}

const bannerSays = (page, text) => page.waitForFunction(
  (t) => !document.getElementById("banner").hidden && document.getElementById("bannertext").textContent.includes(t),
  text, { polling: 100 });

test("a copied tab is told it is a copy; the tab that holds the place gets every line", async () => {
  const ann = await enter(await newPage(), "tabann", "Lobby");
  const bob = await enter(await newPage(), "tabbob", "Lobby");
  const copy = await duplicate(ann);
  await chatRuns(copy, "tabann");
  await bannerSays(copy, "open in another tab");
  await copy.screenshot({ path: path.join(artifacts, "tab-copy.png") });
  expect(await ann.isHidden("#banner"), "the first tab was told it is a copy too");
  for (let i = 1; i <= 6; i++) await say(bob, `line ${i} for ann`);
  await waitText(ann, "board", "line 6 for ann");
  const seen = await frameText(ann, "board");
  for (let i = 1; i <= 6; i++) expect(seen.includes(`line ${i} for ann`), `the first tab missed line ${i}`);
  expect(!(await frameText(copy, "board")).includes("for ann"), "the copy took lines of the place");
  // The copy sends nothing (its answer would take the other tab's lines).
  await frame(copy, "chatsubmit").fill("#message", "from the copy");
  await frame(copy, "chatsubmit").click("#sendbutton");
  await sleep(1000);
  expect(!(await frameText(bob, "board")).includes("from the copy"), "the copy posted a line");
  // Taken over: the copy holds the place now and the first tab stands aside.
  await copy.click("#usehere");
  await bannerSays(ann, "open in another tab");
  await say(bob, "now for the second tab");
  await waitText(copy, "board", "now for the second tab");
  // Another name for the tab that stands aside: the place stays the other's.
  await ann.click("#othername");
  await ann.waitForSelector("#login");
  await sleep(1500);
  await say(bob, "still there?");
  await waitText(copy, "board", "still there?");
  expect((await frameText(bob, "users")).includes("tabann"), "standing aside ended the place");
  for (const p of [ann, bob, copy]) expect(p.errors.length === 0, p.errors.join("; "));
});

test("no address, history entry, Referer or file of the server holds a member's password or place key", async () => {
  const password = "Pw-" + Date.now().toString(36);
  const page = await newPage();
  const seen = [];  // every request of the browser: address and Referer
  page.context().on("request", (r) => seen.push({ url: r.url(), referer: r.headers()["referer"] || "" }));
  const mainAddresses = [];
  page.on("framenavigated", (f) => { if (f === page.mainFrame()) mainAddresses.push(f.url()); });
  await register(page, "histmem", password);
  // The start page's "Change profile" and the change it opens.
  await lobby(page);
  await page.fill("#pname", "histmem");
  await page.fill("#ppass", password);
  await Promise.all([page.waitForURL(/registresult\.htm\?change/), page.click("#change button")]);
  await page.fill("#Resume", "changed from the start page");
  await Promise.all([page.waitForResponse((r) => /\/registresult\.htm$/.test(r.url())), page.click("#submit1")]);
  await enter(page, "histmem", "Members", { password });
  await page.reload({ waitUntil: "load" });  // F5 enters again with what the tab keeps
  await chatRuns(page, "histmem");
  await say(page, "a line to be logged");
  // "Refresh" of the list of people loads it again in place: no entry of
  // the history holds the list's address with the key.
  const entries = await page.evaluate(() => history.length);
  const users = frame(page, "users");
  await users.evaluate(() => { window.beforeRefresh = true; });
  await users.click("#refresh");
  await page.waitForFunction(() => {
    const w = document.querySelector('iframe[name="users"]').contentWindow;
    return !w.beforeRefresh && w.document.readyState == "complete" && w.document.body.innerText.includes("histmem");
  });
  expect((await page.evaluate(() => history.length)) === entries, "Refresh added an entry to the history");
  const key = await page.evaluate(() =>
    /&password=(.*?)&room=/.exec(document.querySelector('meta[name="tvl-identity"]').content)[1]);
  expect(key && key !== encodeURIComponent(password), "the place has no key of its own: " + key);
  // The profile opens in a new tab, posted: its address holds no key.
  await page.screenshot({ path: path.join(artifacts, "member-window.png") });
  const [profile] = await Promise.all([page.context().waitForEvent("page"), page.click("#profile button")]);
  await profile.waitForLoadState("load");
  await profile.waitForSelector("#reg");
  expect((await profile.inputValue("#UserName")) === "histmem", "the profile form is not the member's");
  const profileAddresses = [];
  profile.on("framenavigated", (f) => { if (f === profile.mainFrame()) profileAddresses.push(f.url()); });
  await profile.fill("#Resume", "changed from the chat window");
  const [changed] = await Promise.all([profile.waitForResponse((r) => /\/registresult\.htm$/.test(r.url())),
                                       profile.click("#submit1")]);
  expect((await changed.text()).includes("changed successfully"), "the profile was not changed");
  const history = mainAddresses.concat(profileAddresses, [profile.url(), page.url()]);
  for (const address of history) {
    expect(!address.includes(password) && !address.includes(key), "an address of a tab holds a secret: " + address);
  }
  for (const r of seen) {
    expect(!r.url.includes(password) && !r.url.includes(encodeURIComponent(password)),
           "a request address holds the password: " + r.url);
    expect(!r.referer.includes(password), "a Referer holds the password: " + r.referer);
    // The frames of the window ask with the key (it sets no password); their
    // Referer goes to this server only.
    expect(!r.referer || r.url.startsWith(base + "/"), "a Referer went to another site: " + r.url);
  }
  // Nothing the server writes holds the password or the key.
  await sleep(500);
  const files = [path.join(server.tmp, "server.out")];
  for (const dir of [path.join(server.program, "log"), path.join(server.tmp, "state")]) {
    if (fs.existsSync(dir)) for (const f of fs.readdirSync(dir, { recursive: true })) files.push(path.join(dir, f));
  }
  for (const f of files) {
    if (!fs.statSync(f).isFile()) continue;
    const text = fs.readFileSync(f, "latin1");
    expect(!text.includes(password) && !text.includes(key), `${f} holds a secret`);
  }
  expect(page.errors.length === 0, page.errors.join("; "));
});
