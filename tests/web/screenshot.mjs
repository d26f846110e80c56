// Makes docs/serve.png: the preview page over the built-in frame with the flare
// moved and the 105mm lens picked at 110 %. Run from tests/web with LENSFLARE set:
//   LENSFLARE=../../build/bin/lensflare node screenshot.mjs
import { fileURLToPath } from 'node:url';
import { launchBrowser, settled, startServer } from './serve_harness.mjs';

const output = fileURLToPath(new URL('../../docs/serve.png', import.meta.url));
const server = startServer();
const browser = await launchBrowser();
try {
  const page = await browser.context.newPage();
  await page.goto(await server.url);
  await settled(page);
  await page.selectOption('#lens-select', { label: '105mm Prime' });
  await page.fill('#brightness-value', '110');
  await page.press('#brightness-value', 'Enter');
  await settled(page);
  // Drag the centre up and to the right, as a user would.
  const box = await page.locator('#picture').boundingBox();
  const at = (x, y) => [box.x + ((x + 0.5) / 1920) * box.width, box.y + ((y + 0.5) / 1080) * box.height];
  await page.mouse.move(...at(768, 432));
  await page.mouse.down();
  await page.mouse.move(...at(1250, 300), { steps: 12 });
  await page.mouse.up();
  await page.waitForFunction(() => document.getElementById('command').textContent.includes('--center 1250,300'));
  await settled(page);
  await page.screenshot({ path: output });
  console.log(`wrote ${output}`);
} finally {
  await browser.close();
  await server.stop();
}
