// The start page: names it refuses, the room list, phone size.
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, WAIT, sleep, base, server, newPage, frame, frameText, waitText, waitNoText,
  lobby, enter, say, register, waitNotice, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

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
  await enter(await newPage(), "olga", "Lobby");
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
