// The pages' Content Security Policy: every page and frame runs its own
// files only. run.mjs fails any test in which a page reports a refusal; this
// suite checks that the policy is there and refuses what it must, and that
// the window works through its files alone (names clicked on the board and in
// the list of people reach the input form).
import {
  base, newPage, frame, frameEval, enter, say, waitText, expect, sleep, policyViolations,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

const POLICY = ["script-src 'self'", "object-src 'none'", "base-uri 'none'", "form-action 'self'"];

// Tries an inline script, an inline handler, a javascript: address and a
// <base> in a document; says what ran or changed.
async function tryForbidden(target) {
  return target.evaluate(async () => {
    window.tvlRan = [];
    const s = document.createElement("script");
    s.textContent = "window.tvlRan.push('inline script')";
    document.body.appendChild(s);
    const img = document.createElement("img");
    img.setAttribute("onerror", "window.tvlRan.push('inline handler')");
    img.src = "/no-such-picture.gif";
    document.body.appendChild(img);
    const a = document.createElement("a");
    a.href = "javascript:window.tvlRan.push('javascript: address')";
    document.body.appendChild(a);
    a.click();
    const b = document.createElement("base");
    b.href = "http://127.0.0.2/";
    document.head.appendChild(b);
    const based = new URL("x", document.baseURI).host == "127.0.0.2";
    await new Promise((r) => setTimeout(r, 300));
    s.remove(); img.remove(); a.remove(); b.remove();
    return window.tvlRan.concat(based ? ["<base>"] : []);
  });
}

test("every page carries the policy and runs no inline script, handler or javascript: address", async () => {
  const page = await newPage();
  const targets = [];
  for (const address of ["/", "/register.ghp", "/previewicons.ghp", "/help/index.html", "/no-such-page.htm"]) {
    const r = await page.goto(base + address, { waitUntil: "load" });
    const csp = r.headers()["content-security-policy"] || "";
    for (const part of POLICY) expect(csp.includes(part), `${address}: the policy lacks ${part}: ${csp}`);
    const ran = await tryForbidden(page.mainFrame());
    expect(ran.length === 0, `${address} ran ${ran.join(", ")}`);
    targets.push(address);
  }
  await enter(page, "Poli", "Lobby");
  for (const name of [null, "board", "users", "chatsubmit", "mymsg"]) {
    const ran = await tryForbidden(name ? frame(page, name) : page.mainFrame());
    expect(ran.length === 0, `${name || "the chat window"} ran ${ran.join(", ")}`);
    targets.push(name || "the chat window");
  }
  // Each document reported what it refused (the watch of run.mjs sees it).
  await sleep(300);
  const reported = policyViolations.length;
  expect(reported >= targets.length, `only ${reported} refusals reported for ${targets.length} documents`);
  policyViolations.length = 0;  // the refusals above were asked for
  expect(page.errors.length === 0, page.errors.join("; "));
});

test("names on the board and in the list answer that person through the pages' own files", async () => {
  const ann = await enter(await newPage(), "Anna", "Lobby");
  const bob = await enter(await newPage(), "Bobo", "Lobby");
  await say(bob, "hello from bobo");
  await waitText(ann, "board", "hello from bobo");
  const to = () => frame(ann, "chatsubmit").inputValue("#mtowho");
  await frame(ann, "board").click('.line .head a[data-name="Bobo"]');
  await frame(ann, "chatsubmit").waitForFunction(() => document.getElementById("mtowho").value == "Bobo");
  await frame(ann, "chatsubmit").fill("#mtowho", "All");
  await waitText(ann, "users", "Bobo");
  await frame(ann, "users").click('#list a[data-name="Bobo"]');
  await frame(ann, "chatsubmit").waitForFunction(() => document.getElementById("mtowho").value == "Bobo");
  expect((await to()) == "Bobo", "the list's name did not reach the input form");
  // The list holds no script address at all.
  const scripted = await frameEval(ann, "users",
    () => Array.from(document.querySelectorAll("a")).filter((a) => /^\s*javascript:/i.test(a.getAttribute("href") || "")).length);
  expect(scripted === 0, `${scripted} javascript: links in the list of people`);
  expect(ann.errors.length === 0 && bob.errors.length === 0, ann.errors.concat(bob.errors).join("; "));
});
