// The site at phone size and in the dark, refusals on the start page, the
// private flag, the way from registering into the Lobby, the picture page.
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, WAIT, sleep, newPage, frame, frameEval, waitText, waitNoText, lobby, enter, submitEntry, chatRuns,
  say, register, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });
const PHONE = { width: 390, height: 760 };
const DESKTOP = { width: 1100, height: 720 };
const shot = async (page, name, fullPage = false) => {
  fs.mkdirSync(artifacts, { recursive: true });
  await sleep(300);  // the drawer's slide
  await page.screenshot({ path: path.join(artifacts, name), fullPage });
};
// Whether an element of the page covers some of the viewport.
const onScreen = (page, sel) => page.evaluate((s) => {
  const el = document.querySelector(s);
  if (!el || getComputedStyle(el).visibility === "hidden") return false;
  const r = el.getBoundingClientRect();
  return r.width > 0 && r.height > 0 && r.left < innerWidth && r.right > 0 && r.top < innerHeight && r.bottom > 0;
}, sel);

test("on a phone the people are a drawer and the options sit behind one button", async () => {
  const ada = await enter(await newPage(), "ada", "Lobby");
  const ben = await newPage();
  await ben.setViewportSize(PHONE);
  await enter(ben, "ben", "Lobby");
  await waitText(ben, "users", "ada");
  // The button counts the people the list shows (places other suites left in
  // the Lobby included): ada and ben at least.
  await ben.waitForFunction(() => {
    const doc = window.users && window.users.document;
    const c = doc && doc.querySelector(".count");
    const n = c ? Number(c.textContent.trim()) : 0;
    return n >= 2 && document.getElementById("peoplebutton").textContent === "People (" + n + ")";
  }, null, { timeout: WAIT });
  expect(!(await onScreen(ben, ".people")), "the list is open on a phone from the start");
  expect(await onScreen(ben, "#help"), "Help is out of reach on a phone");
  const wide = await ben.evaluate(() => document.documentElement.scrollWidth);
  expect(wide <= PHONE.width, "the chat is wider than the phone: " + wide);
  await shot(ben, "drawer-closed-phone.png");
  await ben.click("#peoplebutton");
  await ben.waitForFunction(() => document.getElementById("app").classList.contains("people-open"));
  await sleep(400);  // the slide
  expect(await onScreen(ben, ".people"), "the drawer did not open");
  await shot(ben, "drawer-open-phone.png");
  // A name in the drawer addresses the next line and closes the drawer.
  await frame(ben, "users").click('a:text-is("ada")');
  await frame(ben, "chatsubmit").waitForFunction(() => document.getElementById("mtowho").value === "ada");
  await ben.waitForFunction(() => !document.getElementById("app").classList.contains("people-open"));
  await ben.click("#peoplebutton");
  await ben.click("#peopleclose");
  await ben.waitForFunction(() => !document.getElementById("app").classList.contains("people-open"));
  await sleep(400);
  expect(!(await onScreen(ben, ".people")), "the drawer did not close");
  // Style, colour, face behind one button; the input does not make phones zoom.
  const f = frame(ben, "chatsubmit");
  expect(await f.isHidden("#mfont") && await f.isHidden("#mfcolor") && await f.isHidden("#elist"), "options shown on a phone");
  expect(await f.evaluate(() => getComputedStyle(document.getElementById("message")).fontSize) === "16px", "input font");
  await f.click("#more");
  expect(await f.isVisible("#mfont") && await f.isVisible("#mfcolor") && await f.isVisible("#elist"), "the button did not show the options");
  await shot(ben, "options-phone.png");
  await f.selectOption("#mfont", "1");
  await say(ben, "bold from the phone");
  await waitText(ada, "board", "bold from the phone");
  // At desktop size the list is a column beside the board, no drawer.
  await ben.setViewportSize(DESKTOP);
  await sleep(300);
  expect(await onScreen(ben, ".people") && await ben.isHidden("#peoplebutton"), "desktop layout");
  await shot(ben, "drawer-desktop.png");
});

test("the start page shows a refusal in place and keeps the form", async () => {
  const reg = await newPage();
  await register(reg, "cleo", "cleopw");
  await enter(await newPage(), "dirk", "Lobby");
  const cases = [
    { name: "cleo", password: "wrong", room: "Lobby", says: "Invalid username or password!" },
    { name: "dirk", password: "", room: "Lobby", says: "This username has logged on" },
    { name: "eve", password: "", room: "Members", says: "Guest is not allowed to join this room" },
  ];
  for (const size of [DESKTOP, PHONE]) {
    for (const c of cases) {
      const page = await newPage();
      await page.setViewportSize(size);
      await submitEntry(page, c.name, c.room, { password: c.password, picture: 3 });
      await page.waitForSelector("#login-error.refused");
      const said = await page.innerText("#login-error");
      expect(said.includes(c.says), `${c.name}: ${said}`);
      expect(page.url().endsWith("/"), "the page went elsewhere: " + page.url());
      expect(await page.inputValue("#username") === c.name, "the name was lost");
      expect(await page.inputValue("#password") === c.password, "the password was lost");
      expect(await page.evaluate(() => document.querySelector(".room.chosen .name").textContent) === c.room, "the room was lost");
      expect(await page.isChecked('#pictures input[value="3"]'), "the picture was lost");
      if (c.name === "cleo") await shot(page, size === PHONE ? "refusal-phone.png" : "refusal.png", size === PHONE);
      // Put right, the same form enters.
      if (c.name === "cleo" && size === DESKTOP) {
        await page.fill("#password", "cleopw");
        await page.click("#enter");
        await chatRuns(page, "cleo");
      }
    }
  }
  // The profile form answers in place too.
  const page = await newPage();
  await lobby(page);
  await page.fill("#pname", "cleo");
  await page.fill("#ppass", "nope");
  await page.click("#change button");
  await page.waitForSelector("#change-error.refused");
  expect((await page.innerText("#change-error")).includes("Invalid username or password!"), "profile refusal");
});

test("the dark theme follows the system and the board stays readable", async () => {
  const fred = await enter(await newPage(), "fred", "Lobby");
  const gina = await newPage();
  await gina.emulateMedia({ colorScheme: "dark" });
  await enter(gina, "gina", "Lobby");
  const f = frame(fred, "chatsubmit");
  await f.selectOption("#mfcolor", "2");  // navy
  await say(fred, "navy words for a dark board");
  await waitText(gina, "board", "navy words for a dark board");
  const dark = await gina.evaluate(() => getComputedStyle(document.body).backgroundColor);
  expect(dark === "rgb(20, 25, 29)", "the chat window is not dark: " + dark);
  const filter = await frame(gina, "board").evaluate(() => getComputedStyle(document.documentElement).filter);
  expect(filter.includes("invert"), "the board keeps light colours on dark: " + filter);
  await shot(gina, "dark-chat.png");
  await gina.setViewportSize(PHONE);
  await shot(gina, "dark-chat-phone.png");
  const start = await newPage();
  await start.emulateMedia({ colorScheme: "dark" });
  await lobby(start);
  await shot(start, "dark-start.png");
  await start.setViewportSize(PHONE);
  await shot(start, "dark-start-phone.png", true);
  // Only colours that read on the board are offered.
  const offered = await f.evaluate(() => [...document.querySelectorAll("#mfcolor option")].map((o) => o.value));
  for (const unreadable of ["0", "8", "9", "11", "15", "17", "19"])
    expect(!offered.includes(unreadable), "offers colour " + unreadable);
});

test("the private flag shows while on and the addressee goes with it", async () => {
  const hugo = await enter(await newPage(), "hugo", "Lobby");
  await enter(await newPage(), "iris", "Lobby");
  await waitText(hugo, "users", "iris");
  const f = frame(hugo, "chatsubmit");
  await frame(hugo, "users").click('a:text-is("iris")');
  await f.check("#mqqsay");
  expect(await f.evaluate(() => document.getElementById("say").classList.contains("priv")), "no private look");
  expect((await f.innerText(".private")).includes("Private to iris"), "the flag does not name the addressee");
  expect((await f.getAttribute("#message", "placeholder")).includes("iris"), "placeholder");
  await shot(hugo, "private-on.png");
  await f.click("#toall");
  expect(!(await f.isChecked("#mqqsay")), "private stays on for All");
});

test("after registering, one click enters the Lobby; the picture page is in order", async () => {
  const page = await newPage();
  await register(page, "jill", "jillpw", { icon: "11.gif" });
  await page.waitForSelector("#tolobby", { state: "visible" });
  await page.click("#tolobby");
  await chatRuns(page, "jill");
  const pics = await frameEval(page, "users", () => [...document.images].map((i) => [i.getAttribute("src"), i.alt]));
  expect(pics.some(([src, alt]) => src === "/images/11.gif" && alt === "Picture of jill"), "jill's picture: " + JSON.stringify(pics));
  const room = await page.evaluate(() => JSON.parse(sessionStorage.getItem("tvl-entry")));
  expect(room.roomName === "Lobby" && room.member === true, "entered " + JSON.stringify(room));
  await page.goto(page.url().replace(/\/(#.*)?$/, "/previewicons.ghp"));
  await page.setViewportSize(PHONE);
  const names = await page.evaluate(() => [...document.querySelectorAll("#icons li")].map((li) => li.textContent.trim()));
  const numbers = names.map((n) => parseInt(n, 10));
  expect(numbers.length >= 12 && numbers.every((n, i) => i === 0 || numbers[i - 1] < n), "order: " + names);
  const alts = await page.evaluate(() => [...document.querySelectorAll("#icons img")].every((i) => i.alt));
  expect(alts, "pictures without alt text");
  const wide = await page.evaluate(() => document.documentElement.scrollWidth);
  expect(wide <= PHONE.width, "picture page wider than the phone: " + wide);
  await shot(page, "pictures-phone.png", true);
});
