// axe-core on every page and frame of the site, light and dark: no serious or
// critical violation.
import fs from "node:fs";
import { createRequire } from "node:module";
import {
  base, newPage, frame, enter, say, register, waitText, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

const axeSource = fs.readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");

// The serious and critical violations axe finds in one document (its frames
// are checked on their own), as "rule: element" lines.
async function violations(target, label) {
  // Evaluated by the test driver, which the pages' script policy does not
  // bind; the pages' own scripts never see it.
  await target.evaluate(axeSource);
  const found = await target.evaluate(async () => {
    const r = await window.axe.run(document, { iframes: false, resultTypes: ["violations"] });
    return r.violations.filter((v) => v.impact == "serious" || v.impact == "critical")
      .flatMap((v) => v.nodes.map((n) => `${v.id}: ${n.target.join(" ")} ${(n.failureSummary || "").split("\n")[1] || ""}`));
  });
  return found.map((f) => `${label}: ${f}`);
}

async function everyPage(scheme) {
  const found = [];
  const page = await newPage();
  await page.emulateMedia({ colorScheme: scheme });
  for (const address of ["/", "/register.ghp", "/previewicons.ghp", "/help/index.html"]) {
    await page.goto(base + address, { waitUntil: "load" });
    found.push(...await violations(page.mainFrame(), address));
  }
  // The start page's answers in place: a refusal and a search result.
  await page.goto(base + "/", { waitUntil: "load" });
  await page.fill("#username", "x y");
  await page.click("#enter");
  await page.fill("#findname", "nobody");
  await page.click("#find");
  await frame(page, "findresult").waitForSelector("#result");
  found.push(...await violations(page.mainFrame(), "start page with answers"));
  found.push(...await violations(frame(page, "findresult"), "search result"));
  const other = await newPage();
  await other.emulateMedia({ colorScheme: scheme });
  await enter(other, `axe${scheme}b`, "Lobby");
  await enter(page, `axe${scheme}`, "Lobby");
  await say(other, "a line <b>to read</b>");
  await say(other, "a private line", { to: `axe${scheme}`, priv: true });
  await waitText(page, "board", "a private line");
  found.push(...await violations(page.mainFrame(), "chat window"));
  for (const name of ["ad", "board", "mymsg", "users", "chatsubmit"])
    found.push(...await violations(frame(page, name), name));
  return found;
}

test("axe finds no serious or critical violation on any page or frame, light or dark", async () => {
  const found = (await everyPage("light")).concat((await everyPage("dark")).map((f) => "dark " + f));
  if (found.length) console.log(found.join("\n"));
  expect(found.length === 0, `${found.length} violations (listed above)`);
});
