// Who is really there: closing, reloading, a restart of the server, lines
// typed while it is away; the title and the "new messages" button.
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, WAIT, sleep, base, server, newPage, frame, frameEval, frameText, waitText, waitNoText,
  enter, chatRuns, say, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

async function bannerText(page) {
  return page.evaluate(() => { const b = document.getElementById("banner"); return b.hidden ? "" : b.textContent; });
}
async function waitBanner(page, text) {
  await page.waitForFunction((t) => { const b = document.getElementById("banner"); return !b.hidden && b.textContent.includes(t); },
                             text, { timeout: WAIT, polling: 200 })
    .catch(async () => { throw new Error(`banner never said ${JSON.stringify(text)}; it says ${JSON.stringify(await bannerText(page))}`); });
}
async function waitNoBanner(page, timeout = WAIT) {
  await page.waitForFunction(() => document.getElementById("banner").hidden, null, { timeout, polling: 200 })
    .catch(async () => { throw new Error(`the banner stayed: ${JSON.stringify(await bannerText(page))}`); });
}
// The names in a visitor's list of people, in order.
async function listed(page) {
  return frameEval(page, "users", () => [...document.querySelectorAll("#list a")].map((a) => a.textContent));
}
async function inputValue(page) {
  return frame(page, "chatsubmit").evaluate(() => document.getElementById("message").value);
}

test("a closed tab and a tab gone elsewhere leave the room at once", async () => {
  const pia = await enter(await newPage(), "pia", "Lobby");
  const quin = await enter(await newPage(), "quin", "Lobby");
  const rex = await enter(await newPage(), "rex", "Lobby");
  await waitText(pia, "users", "rex");
  await quin.close();
  await waitNoText(pia, "users", "quin");
  await waitText(pia, "board", "left the chat room...");
  expect((await frameText(pia, "board")).match(/quin\s+left the chat room/), "no line about quin leaving");
  await rex.goto("about:blank");
  await waitNoText(pia, "users", "rex");
  // The name is free again at once.
  await enter(await newPage(), "quin", "Lobby");
  await waitText(pia, "users", "quin");
  // Back from the chat window leaves too, and shows the start page.
  const nell = await enter(await newPage(), "nell", "Lobby");
  await waitText(pia, "users", "nell");
  await nell.goBack();
  await waitNoText(pia, "users", "nell");
  await nell.waitForSelector("#rooms .room");
  expect(await nell.inputValue("#username") === "nell", "the start page forgot the name");
});

test("a reload of the chat window enters the same room again", async () => {
  const sam = await enter(await newPage(), "sam", "Lobby");
  const tia = await enter(await newPage(), "tia", "Lobby");
  await waitText(sam, "users", "tia");
  await say(tia, "before the reload");
  await tia.reload({ waitUntil: "domcontentloaded" });
  await chatRuns(tia, "tia");
  expect(!(await tia.url()).includes("password"), "the address shows the key: " + tia.url());
  await say(tia, "after the reload");
  await waitText(sam, "board", "after the reload");
  const names = await listed(sam);
  expect(names.filter((n) => n === "tia").length === 1, "tia listed " + JSON.stringify(names));
  expect((await listed(tia)).includes("sam"), "tia's list lacks sam");
  for (const p of [sam, tia]) expect(p.errors.length === 0, "script errors: " + p.errors.join("; "));
});

test("a restart of the server shows the banner, keeps a typed line and brings both back", async () => {
  const uma = await enter(await newPage(), "uma", "Lobby", { picture: 4 });
  const vic = await enter(await newPage(), "vic", "Lobby", { picture: 6 });
  await waitText(uma, "users", "vic");
  await server.halt();
  try {
    await waitBanner(uma, "Connection lost, reconnecting");
    await waitBanner(vic, "Connection lost, reconnecting");
    // A line sent while the server is away stays in the input.
    const f = frame(uma, "chatsubmit");
    await f.fill("#message", "typed while the server was away");
    await f.click("#sendbutton");
    await sleep(2500);
    expect((await inputValue(uma)) === "typed while the server was away", "the line left the input: " + await inputValue(uma));
    expect((await f.innerText("#note")).includes("Not sent yet"), "no word about the unsent line");
    fs.mkdirSync(artifacts, { recursive: true });
    await uma.screenshot({ path: path.join(artifacts, "banner-lost.png") });
    await vic.setViewportSize({ width: 390, height: 760 });
    await sleep(300);
    await vic.screenshot({ path: path.join(artifacts, "banner-lost-phone.png") });
  } finally {
    await server.start();
  }
  await waitNoBanner(uma, 30_000);
  await waitNoBanner(vic, 30_000);
  await waitText(vic, "board", "typed while the server was away", 30_000);
  expect((await inputValue(uma)) === "", "the line stayed in the input after it was sent");
  await waitText(uma, "users", "vic");
  await waitText(vic, "users", "uma");
  await say(vic, "vic after the restart");
  await waitText(uma, "board", "vic after the restart");
  for (const p of [uma, vic]) expect(p.errors.length === 0, "script errors: " + p.errors.join("; "));
});

test("a visitor whose name was taken meanwhile is told so and comes back once it is free", async () => {
  const walt = await enter(await newPage(), "walt", "Lobby");
  const xena = await enter(await newPage(), "xena", "Lobby");
  await waitText(walt, "users", "xena");
  // The server restarts and somebody else takes the name (names are one
  // regardless of case) before walt's window is back.
  await server.halt();
  let thiefKey = "";
  try {
    await waitBanner(walt, "Connection lost, reconnecting");
  } finally {
    await server.start();
    const r = await fetch(`${base}/chat.ghp?username=WALT&password=&room=1&sex=2`);
    const page = await r.text();
    expect(page.includes('name="tvl-page" content="chat"'), "the other walt was not let in: " + page.slice(0, 200));
    thiefKey = (/&amp;password=(.*?)&amp;room=/.exec(page) || ["", ""])[1];
  }
  await waitBanner(walt, "You are no longer in the room.");
  expect(await walt.isVisible("#rejoin"), "no Rejoin link");
  expect((await bannerText(walt)).includes("This username has logged on"), "the banner does not say why");
  fs.mkdirSync(artifacts, { recursive: true });
  await walt.screenshot({ path: path.join(artifacts, "banner-out.png") });
  // Once the name is free again, walt's window enters by itself.
  await fetch(`${base}/exit.ghp?username=WALT&password=${thiefKey}&room=1`);
  await waitNoBanner(walt, 30_000);
  await waitText(xena, "users", "walt", 30_000);
  await say(walt, "walt is back");
  await waitText(xena, "board", "walt is back");
});

test("the title counts lines while the tab is away, and a scrolled-up board offers the new ones", async () => {
  const yan = await enter(await newPage(), "yan", "Lobby");
  const zoe = await enter(await newPage(), "zoe", "Lobby");
  await waitText(yan, "users", "zoe");
  // zoe's first lines (both joins) come before the tab goes away.
  await waitText(zoe, "board", "zoe joined");
  const title = await zoe.title();
  // The tab goes to the background.
  await zoe.evaluate(() => {
    Object.defineProperty(document, "hidden", { configurable: true, get: () => true });
    document.dispatchEvent(new Event("visibilitychange"));
  });
  await say(yan, "one while away");
  await say(yan, "two while away");
  await zoe.waitForFunction(() => /^\(2\) /.test(document.title), null, { timeout: WAIT });
  await zoe.evaluate(() => {
    Object.defineProperty(document, "hidden", { configurable: true, get: () => false });
    document.dispatchEvent(new Event("visibilitychange"));
  });
  expect((await zoe.title()) === title, "title after coming back: " + await zoe.title());
  // Enough lines to scroll, then zoe scrolls up and yan says more.
  for (let i = 0; i < 14; i++) await say(yan, `filler line ${i} ` + "words ".repeat(12));
  await waitText(zoe, "board", "filler line 13");
  expect(await zoe.isHidden("#newmsgs"), "the button shows while following");
  await frame(zoe, "board").evaluate(() => window.scrollTo(0, 0));
  await say(yan, "said while zoe reads old lines");
  await waitText(zoe, "board", "said while zoe reads old lines");
  await zoe.waitForSelector("#newmsgs", { state: "visible" });
  expect(await frame(zoe, "board").evaluate(() => window.scrollY) === 0, "the board moved under the reader");
  await zoe.click("#newmsgs");
  await zoe.waitForSelector("#newmsgs", { state: "hidden" });
  const atEnd = await frame(zoe, "board").evaluate(() => {
    const d = document.scrollingElement; return d.scrollHeight - d.scrollTop - innerHeight < 60;
  });
  expect(atEnd, "the button did not go to the newest line");
  // New lines are announced to screen readers.
  const live = await zoe.evaluate(() => [document.getElementById("live").getAttribute("aria-live"),
                                          document.getElementById("live").textContent]);
  expect(live[0] === "polite" && live[1].includes("said while zoe reads old lines"), "live region: " + JSON.stringify(live));
});
