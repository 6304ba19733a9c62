// velloscan-allow-site under a root of its own (VELLOSCAN_POLICY_ROOT), so
// that it runs without root: the policy files it writes and removes, and
// what it refuses.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";

const command = fileURLToPath(new URL("../../packaging/velloscan-allow-site", import.meta.url));
const FOLDERS = ["etc/chromium/policies/managed", "etc/opt/chrome/policies/managed", "etc/opt/edge/policies/managed"];

test("writes one policy file per browser, keeps others' files, and removes its own with the last site", (t) => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), "velloscan-policy-"));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  const run = (...args) => spawnSync(command, args, { env: { ...process.env, VELLOSCAN_POLICY_ROOT: root }, encoding: "utf8" });
  const policy = (folder) => path.join(root, folder, "velloscan-allow-site.json");
  fs.mkdirSync(path.join(root, FOLDERS[0]), { recursive: true });
  fs.writeFileSync(path.join(root, FOLDERS[0], "site-admin.json"), "{}");
  fs.mkdirSync(path.join(root, "etc/velloscan"), { recursive: true });
  fs.writeFileSync(path.join(root, "etc/velloscan/velloscan.ini"), "[Service]\nAllowedOrigins=https://docs.example.com\n");

  for (const bad of ["ftp://x.example", "https://x.example/path", "https://x .example", "https://x.example:70000", "x.example"]) {
    const refused = run("https://fine.example", bad);
    assert.equal(refused.status, 2, bad);
    assert.match(refused.stderr, /not an origin/);
  }
  assert.ok(!fs.existsSync(policy(FOLDERS[0])), "a refused call wrote a policy");

  const added = run("HTTPS://Docs.Example.com:443/", "http://10.0.0.5:8080");
  assert.equal(added.status, 0, added.stderr);
  assert.match(added.stdout, /AllowedOrigins in .*velloscan\.ini: https:\/\/docs\.example\.com/);
  assert.equal(run("http://[::1]:8080", "http://10.0.0.5:8080").status, 0);
  for (const folder of FOLDERS) {
    assert.equal(fs.statSync(policy(folder)).mode & 0o777, 0o644, folder);
    assert.deepEqual(JSON.parse(fs.readFileSync(policy(folder), "utf8")),
      { LocalNetworkAccessAllowedForUrls: ["https://docs.example.com", "http://10.0.0.5:8080", "http://[::1]:8080"] });
  }
  assert.equal(run("--remove", "https://docs.example.com").status, 0);
  assert.match(run("--list").stdout, /^ {2}http:\/\/10\.0\.0\.5:8080\n {2}http:\/\/\[::1\]:8080\n/m);

  assert.equal(run("--remove", "http://10.0.0.5:8080", "http://[::1]:8080").status, 0);
  for (const folder of FOLDERS) assert.deepEqual(fs.readdirSync(path.join(root, folder)), folder === FOLDERS[0] ? ["site-admin.json"] : []);
});
