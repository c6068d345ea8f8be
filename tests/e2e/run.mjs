// Browser tests of the shipped site: every file in suites/ exports `tests`, a
// list of { name, fn }; all run against one server and one chromium (lib.mjs).
// Usage: node tests/e2e/run.mjs <dist folder> [part of a test name]
// (or E2E_ONLY=<part of a test name>). Prints one line per test and
// "N passed, N failed" last (", N skipped" when a test could not run here:
// a tool it drives is missing); exits non-zero on any failure. Every wait is
// bounded; the server is stopped whatever happens.
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { TEST_TIMEOUT, Skipped, bounded, closeContexts, setUp, finish, killServer, policyViolations } from "./lib.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const dist = path.resolve(process.argv[2] || path.join(here, "../../build/dist"));
const only = process.argv[3] || process.env.E2E_ONLY || "";

const suiteDir = path.join(here, "suites");
const tests = [];
for (const file of fs.readdirSync(suiteDir).filter((f) => f.endsWith(".mjs")).sort()) {
  const suite = await import(pathToFileURL(path.join(suiteDir, file)).href);
  for (const t of suite.tests) tests.push({ ...t, suite: file.replace(/\.mjs$/, "") });
}

let passed = 0, failed = 0, skipped = 0;
for (const sig of ["SIGINT", "SIGTERM"]) {
  process.once(sig, () => { killServer(); process.exit(130); });
}
try {
  await setUp(dist);
  for (const t of tests) {
    if (only && !t.name.includes(only) && t.suite !== only) continue;
    const started = Date.now();
    try {
      policyViolations.length = 0;
      await bounded(t.fn(), TEST_TIMEOUT, t.name);
      // A page that broke its own Content Security Policy fails the test.
      if (policyViolations.length)
        throw new Error("Content Security Policy violated:\n" + [...new Set(policyViolations)].join("\n"));
      passed++;
      console.log(`ok   ${t.name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
    } catch (e) {
      if (e instanceof Skipped) {
        skipped++;
        console.log(`skip ${t.name}: ${e.message}`);
        continue;
      }
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
  await finish();
}
console.log(`${passed} passed, ${failed} failed` + (skipped ? `, ${skipped} skipped` : ""));
process.exit(failed ? 1 : 0);
