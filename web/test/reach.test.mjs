// A site on the public internet, as Chromium sees it, reaching the service
// on this computer: refused by the browser's local network access checks and
// told why, then let through by the policy velloscan-allow-site writes.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";
import { Sandbox, serveWeb } from "./support.mjs";

const allowSite = fileURLToPath(new URL("../../packaging/velloscan-allow-site", import.meta.url));

// A name of its own for the site (the localhost check must not see it) and
// HTTPS, where the browser asks rather than refuses outright.
async function publicSite(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "velloscan-site-"));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=site.test", "-days", "1",
    "-keyout", `${dir}/key.pem`, "-out", `${dir}/cert.pem`], { stdio: "ignore" });
  const web = await serveWeb({ tls: { key: fs.readFileSync(`${dir}/key.pem`), cert: fs.readFileSync(`${dir}/cert.pem`) } });
  t.after(() => web.close());
  return { origin: `https://site.test:${web.port}`, port: web.port };
}

async function open(t, site, box) {
  const browser = await chromium.launch({
    executablePath: process.env.VELLOSCAN_CHROMIUM || "/usr/bin/chromium",
    args: [`--ip-address-space-overrides=127.0.0.1:${site.port}=public`,
      "--host-resolver-rules=MAP site.test 127.0.0.1", "--ignore-certificate-errors"],
  });
  t.after(() => browser.close());
  const page = await browser.newPage({ locale: "en-GB" });
  await page.goto(`${site.origin}/?url=${box.url}`);
  return page;
}

test("a public site is told local network access blocked it, and connects once allowed", async (t) => {
  const box = await Sandbox.create("device cvnfa DR-A");
  t.after(() => box.dispose());
  await box.start();
  const site = await publicSite(t);

  const blocked = await open(t, site, box);
  await blocked.waitForSelector('#state[data-state="offline"]');
  assert.equal(await blocked.getAttribute("#offline-help", "data-causes"), "local-network-access no-service");
  assert.match(await blocked.textContent("#offline-help"), /local network access.*HTTPS.*velloscan-allow-site/s);
  const error = await blocked.evaluate(async (url) => {
    const { connect } = await import("/velloscan.js");
    return connect(url).then(() => null, (e) => ({ code: e.code, reason: e.reason }));
  }, box.url);
  assert.equal(error.code, 1010);
  assert.match(error.reason, /^The browser's local network access may have blocked it.*No service may be listening/s);

  if (process.getuid() !== 0) {
    t.skip("writing the browsers' managed policy needs root");
    return;
  }
  // The folders it makes for browsers that are not installed go again afterwards.
  const made = ["/etc/chromium", "/etc/opt/chrome", "/etc/opt/edge"].filter((dir) => !fs.existsSync(dir));
  execFileSync(allowSite, [site.origin], { stdio: "ignore" });
  t.after(() => {
    execFileSync(allowSite, ["--remove", site.origin], { stdio: "ignore" });
    for (const dir of made) fs.rmSync(dir, { recursive: true });
  });
  const allowed = await open(t, site, box);
  await allowed.waitForSelector('#state[data-state="online"]');
  assert.ok(await allowed.isHidden("#offline-help"));
});
