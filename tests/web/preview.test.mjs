// The preview page in real headless Chromium against a real `lensflare serve`:
// it follows a drag of the flare centre and a change of lens, its command always
// names what is shown, and the download is the picture. On a sequence, the
// timeline's frame with its keys is what render --keys gives for it.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launchBrowser, settled, startServer } from './serve_harness.mjs';

let server;
let browser;
let page;
// What went wrong while the page loaded: policy violations the console
// reported, and requests answered 404 or not at all.
const loadFaults = [];

before(async () => {
  server = startServer();
  browser = await launchBrowser();
  page = await browser.context.newPage();
  page.on('console', (message) => {
    if (/Content Security Policy/i.test(message.text())) loadFaults.push(`console: ${message.text()}`);
  });
  page.on('response', (response) => {
    if (response.status() === 404) loadFaults.push(`404: ${response.url()}`);
  });
  page.on('requestfailed', (request) => loadFaults.push(`failed: ${request.url()}`));
  await page.goto(await server.url);
  await settled(page);
  // The browser asks for the icon on its own, after the page has loaded.
  await page.waitForResponse((response) => response.url().endsWith('/favicon.ico'), { timeout: 2000 }).catch(() => {});
});

after(async () => {
  await browser?.close();
  assert.equal(await server?.stop(), 0, 'the server did not stop cleanly');
});

// The colour of frame pixel (x, y) of the picture on screen, and a hash of all
// of its pixels.
function inspectPicture(x, y, on = page, src = null) {
  return on.evaluate(async ([x, y, src]) => {
    const img = src ? new Image() : document.getElementById('picture');
    if (src) {
      img.src = src;
      await img.decode();
    }
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const context = canvas.getContext('2d');
    context.drawImage(img, 0, 0);
    const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
    let hash = 2166136261;
    for (let i = 0; i < data.length; i++) hash = Math.imul(hash ^ data[i], 16777619) >>> 0;
    const at = (y * canvas.width + x) * 4;
    return { width: canvas.width, height: canvas.height, hash, pixel: [data[at], data[at + 1], data[at + 2]] };
  }, [x, y, src]);
}

const command = () => page.textContent('#command');
const brightest = (pixel) => Math.min(...pixel);

// Client coordinates of the middle of frame pixel (x, y) on the picture.
async function clientPoint(x, y) {
  const box = await page.locator('#picture').boundingBox();
  return [box.x + ((x + 0.5) / 1920) * box.width, box.y + ((y + 0.5) / 1080) * box.height];
}

test('the page loads without a policy violation or a missing file', async () => {
  // Enter in a field submits nothing and breaks no policy.
  await page.press('#brightness-value', 'Enter');
  assert.deepEqual(loadFaults, []);
  const icon = await page.evaluate(async () => (await fetch('/favicon.ico')).headers.get('content-type'));
  assert.equal(icon, 'image/svg+xml');
});

test('dragging the centre moves the flare and the command', async () => {
  // The declared defaults: centre at 40 % of 1920 x 1080, the first lens.
  assert.equal(await command(),
    'lensflare render -o flare.png --lens zoom --brightness 100 --center 768,432 --blend 0 --par 1:1');
  const before = await inspectPicture(768, 432);
  // The flare's core is white; elsewhere the built-in frame is dark.
  assert.ok(brightest(before.pixel) > 240, `no white core at the default centre: ${before.pixel}`);
  assert.ok(brightest((await inspectPicture(1440, 270)).pixel) < 200);

  await page.mouse.move(...(await clientPoint(768, 432)));
  await page.mouse.down();
  for (const [x, y] of [[900, 400], [1100, 350], [1300, 300], [1440, 270]]) {
    await page.mouse.move(...(await clientPoint(x, y)), { steps: 4 });
  }
  await page.mouse.up();
  await page.waitForFunction(() => document.getElementById('command').textContent.includes('--center 1440,270'));
  await settled(page);

  assert.equal(await command(),
    'lensflare render -o flare.png --lens zoom --brightness 100 --center 1440,270 --blend 0 --par 1:1');
  const moved = await inspectPicture(1440, 270);
  assert.ok(brightest(moved.pixel) > 240, `no white core at the new centre: ${moved.pixel}`);
  assert.ok(brightest((await inspectPicture(768, 432)).pixel) < 200, 'the core stayed at the old centre');
  assert.notEqual(moved.hash, before.hash);
});

test('changing the lens re-renders with that lens', async () => {
  const before = await inspectPicture(1440, 270);
  await page.selectOption('#lens-select', { label: '105mm Prime' });
  await page.waitForFunction(() => document.getElementById('command').textContent.includes('--lens 105mm'));
  await settled(page);
  assert.equal(await command(),
    'lensflare render -o flare.png --lens 105mm --brightness 100 --center 1440,270 --blend 0 --par 1:1');
  const after = await inspectPicture(1440, 270);
  assert.notEqual(after.hash, before.hash);
  assert.ok(brightest(after.pixel) > 240);
});

test('the download is the full-resolution PNG on screen', async () => {
  const renderId = await page.getAttribute('#picture', 'data-render-id');
  assert.equal(await page.getAttribute('#download', 'href'), `/api/downloads/${renderId}.png`);
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
  assert.equal(download.suggestedFilename(), 'flare.png');
  // A PNG's IHDR chunk: full width and height, 8-bit RGBA.
  const png = await readFile(await download.path());
  assert.equal(png.toString('latin1', 12, 16), 'IHDR');
  assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20), png[24], png[25]], [1920, 1080, 8, 6]);
  // Every pixel the one on screen, in a file packed smaller than the picture sent.
  const saved = await inspectPicture(1440, 270, page, `data:image/png;base64,${png.toString('base64')}`);
  assert.deepEqual(saved, await inspectPicture(1440, 270));
  const shown = await page.evaluate(async (id) => (await (await fetch(`/api/renders/${id}.png`)).arrayBuffer()).byteLength, renderId);
  assert.ok(png.length < shown, `download ${png.length} bytes, picture ${shown}`);
});

test('the timeline tracks a light, keys a control and shows what render --keys gives', async () => {
  // A five-frame plate whose light moves 10 px right and 5 px down a frame.
  const dir = mkdtempSync(join(tmpdir(), 'lensflare-timeline-'));
  const lensflare = (...args) => execFileSync(process.env.LENSFLARE, args, { cwd: dir, stdio: ['ignore', 'pipe', 'pipe'] });
  lensflare('render', '-o', 'plate.%04d.png', '--frames', '1-5', '--size', '320x180', '--center', '1=140,80',
    '--center', '5=180,100', '--brightness', '60', '-q');
  const shot = startServer([join(dir, 'plate.%04d.png')]);
  const tab = await browser.context.newPage();
  try {
    await tab.goto(await shot.url);
    await settled(tab);
    const atFrame = (n) => tab.waitForFunction((n) => document.getElementById('picture').dataset.frame === n &&
      document.body.dataset.state === 'idle' && document.getElementById('picture').dataset.scaled === 'false', String(n));

    await tab.click('#track');
    const box = await tab.locator('#picture').boundingBox();
    await tab.mouse.click(box.x + (147 / 320) * box.width, box.y + (84 / 180) * box.height);
    await tab.waitForFunction(() => document.getElementById('status').textContent.startsWith('Tracked'));
    const path = (await tab.getAttribute('#path-line', 'points')).split(' ').map((p) => p.split(',').map(Number));
    assert.equal(path.length, 5);
    path.forEach(([x, y], i) => assert.ok(Math.hypot(x - (140 + 10 * i), y - (80 + 5 * i)) < 1, `frame ${i + 1}: ${x},${y}`));

    // Brightness 150 held from frame 3, 50 from frame 5: frame 4 holds 150.
    const keyBrightness = async (value, ease) => {
      await tab.fill('#brightness-value', String(value));
      await tab.press('#brightness-value', 'Enter');
      // A control with keys keys the edit itself.
      if (await tab.getAttribute('#brightness-key', 'aria-pressed') !== 'true') await tab.click('#brightness-key');
      if (ease) await tab.selectOption('#brightness-ease', ease);
    };
    for (const [frame, value, ease] of [[3, 150, 'hold'], [5, 50]]) {
      while (Number(await tab.inputValue('#frame-slider')) < frame) await tab.click('#next-frame');
      await atFrame(frame);
      await keyBrightness(value, ease);
    }
    await tab.click('#previous-frame');
    await atFrame(4);
    assert.equal(await tab.inputValue('#brightness-value'), '150');
    const command = await tab.textContent('#command');
    assert.match(command, / --frames 4 -o flare\.%04d\.png --keys keys\.json --lens zoom --blend 0 --par 1:1$/);

    const [download] = await Promise.all([tab.waitForEvent('download'), tab.click('#download-keys')]);
    assert.equal(download.suggestedFilename(), 'keys.json');
    await download.saveAs(join(dir, 'keys.json'));
    const keys = JSON.parse(readFileSync(join(dir, 'keys.json'), 'utf8'));
    assert.deepEqual(keys.brightness, { 3: { value: 150, ease: 'hold' }, 5: 50 });
    assert.equal(Object.keys(keys.center).length, 5);

    // The page's command, writing into the test's folder.
    const words = command.split(' ').slice(1);
    words[words.indexOf('-o') + 1] = 'out.%04d.png';
    lensflare(...words, '-q');
    const rendered = `data:image/png;base64,${readFileSync(join(dir, 'out.0004.png')).toString('base64')}`;
    const onPage = await inspectPicture(170, 95, tab);
    assert.deepEqual(await inspectPicture(170, 95, tab, rendered), onPage);
    assert.ok(Math.min(...onPage.pixel) > 240, `no white core at the tracked centre: ${onPage.pixel}`);
  } finally {
    await tab.close();
    assert.equal(await shot.stop(), 0);
    rmSync(dir, { recursive: true, force: true });
  }
});
