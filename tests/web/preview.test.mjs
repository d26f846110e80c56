// The preview page in real headless Chromium against a real `lensflare serve`:
// it follows a drag of the flare centre and a change of lens, its command always
// names what is shown, and the download is the picture.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { launchBrowser, settled, startServer } from './serve_harness.mjs';

let server;
let browser;
let page;

before(async () => {
  server = startServer();
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(await server.url);
  await settled(page);
});

after(async () => {
  await browser?.close();
  assert.equal(await server?.stop(), 0, 'the server did not stop cleanly');
});

// The colour of frame pixel (x, y) of the picture on screen, and a hash of all
// of its pixels.
function inspectPicture(x, y) {
  return page.evaluate(([x, y]) => {
    const img = document.getElementById('picture');
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
  }, [x, y]);
}

const command = () => page.textContent('#command');
const brightest = (pixel) => Math.min(...pixel);

// Client coordinates of the middle of frame pixel (x, y) on the picture.
async function clientPoint(x, y) {
  const box = await page.locator('#picture').boundingBox();
  return [box.x + ((x + 0.5) / 1920) * box.width, box.y + ((y + 0.5) / 1080) * box.height];
}

test('dragging the centre moves the flare and the command', async () => {
  // The declared defaults: centre at 40 % of 1920 x 1080, the first lens.
  assert.equal(await command(),
    'lensflare render -o flare.png --lens zoom --brightness 100 --center 768,432 --blend 0');
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
    'lensflare render -o flare.png --lens zoom --brightness 100 --center 1440,270 --blend 0');
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
    'lensflare render -o flare.png --lens 105mm --brightness 100 --center 1440,270 --blend 0');
  const after = await inspectPicture(1440, 270);
  assert.notEqual(after.hash, before.hash);
  assert.ok(brightest(after.pixel) > 240);
});

test('the download is the full-resolution PNG on screen', async () => {
  assert.equal(await page.getAttribute('#download', 'href'), await page.getAttribute('#picture', 'src'));
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
  assert.equal(download.suggestedFilename(), 'flare.png');
  // A PNG's IHDR chunk: full width and height, 8-bit RGBA.
  const png = await readFile(await download.path());
  assert.equal(png.toString('latin1', 12, 16), 'IHDR');
  assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20), png[24], png[25]], [1920, 1080, 8, 6]);
});
