// The reference page follows USB plug and unplug without a reload. The
// uevents reach every listener on the machine: ctest runs this alone.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { test } from "node:test";
import { openPage, useBrowser } from "./support.mjs";

const shared = useBrowser();

function usb(action) {
  execFileSync(process.env.VELLOSCAN_UEVENTSEND, [action, "0b7e", "1234"]);
}

const devicesShown = (page) => page.$$eval("#device option", (items) => items.map((o) => o.value));

test("a USB report brings a new scanner into the list and takes it out again", async (t) => {
  const { box, page } = await openPage(t, shared, "device cvnfa DR-A");
  assert.deepEqual(await devicesShown(page), ["cvnfa:DR-A"]);

  box.setDevices("device cvnfa DR-A\ndevice cvnfb DR-B");
  usb("add");
  await page.waitForSelector('#device option[value="cvnfb:DR-B"]', { state: "attached" });
  assert.deepEqual((await devicesShown(page)).sort(), ["cvnfa:DR-A", "cvnfb:DR-B"]);

  box.setDevices("device cvnfb DR-B");
  usb("remove");
  await page.waitForSelector('#device option[value="cvnfa:DR-A"]', { state: "detached" });
  assert.deepEqual(await devicesShown(page), ["cvnfb:DR-B"]);
  // The scanner that was chosen is gone: the one left is chosen, with its options.
  assert.equal(await page.inputValue("#device"), "cvnfb:DR-B");
  await page.waitForSelector('[data-option="mode"]');
});
