// Starts `lensflare serve` and a headless Chromium for the preview page's tests
// and for the screenshot in docs/. LENSFLARE names the tool; CHROMIUM the
// browser (default /usr/bin/chromium).
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

// Runs `lensflare serve --port 0` (on `args`, such as an input): `url`
// resolves once it prints its address, `stop()` sends SIGTERM and resolves with
// the exit code. Its errors go to ours.
export function startServer(args = []) {
  if (!process.env.LENSFLARE) throw new Error('set LENSFLARE to the lensflare tool to test');
  const child = spawn(process.env.LENSFLARE, ['serve', '--port', '0', ...args], { stdio: ['ignore', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  let output = '';
  const url = new Promise((resolve, reject) => {
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const found = output.match(/http:\/\/127\.0\.0\.1:\d+\//);
      if (found) resolve(found[0]);
    });
    exited.then((code) => reject(new Error(`lensflare serve exited with ${code}`)));
  });
  return {
    url,
    stop() {
      if (child.exitCode === null) child.kill('SIGTERM');
      return exited;
    },
  };
}

export async function launchBrowser() {
  const profile = mkdtempSync(join(tmpdir(), 'lensflare-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1280, height: 760 },
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Waits until the page has nothing in flight and shows a full-resolution result.
export async function settled(page) {
  await page.waitForFunction(() => document.body.dataset.state === 'idle' &&
    document.getElementById('picture').dataset.scaled === 'false');
}
