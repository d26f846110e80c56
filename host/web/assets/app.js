// The preview page. Everything about the controls (names, ranges, defaults,
// lens choices) comes from /api/controls, that is from what the plug-in
// declared and the host's exposure on scene-linear frames; this file knows no
// control by name.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const stage = $('stage');
  const picture = $('picture');
  const marker = $('marker');
  const fit = $('fit');
  const statusLine = $('status');
  const commandBox = $('command');
  const download = $('download');

  let frame = null;             // { width, height, label, number, timeline? }
  const values = {};            // what the next request asks for, by control key
  const inputs = {};            // key -> widgets to keep in step with `values`

  // Animation, for a sequence or video: the frame on screen and the keys, held
  // as a --keys file holds them. A control with keys takes its value on each
  // frame from them (the server interpolates, as render does), and an edit
  // sets the key of the frame on screen.
  let frameNo = 0;
  let keys = {};
  let keysFile = 'keys.json';
  let interpolations = [];
  let armedToTrack = false;
  const keyWidgets = {};        // key -> { button, ease }

  // Requests: drags and slider moves are throttled to one request in flight
  // plus the newest waiting; a release or a discrete change is sent at once,
  // and the server then cancels the render it was working on.
  let sent = 0;                 // sequence number of the newest request sent
  let shown = 0;                // sequence number of the result on screen
  let inFlight = 0;
  let waiting = null;           // request body held back while one is in flight
  let pictureUrl = null;        // object URL on screen
  let dragging = false;

  // This tab's name for the server, which keeps one line of requests per page so
  // that tabs take turns and a newer request cancels only this tab's render.
  // Closing or leaving the page closes its connections, and the server cancels
  // the render they were waiting for.
  const pageId = Array.from(crypto.getRandomValues(new Uint8Array(16)), (b) => b.toString(16).padStart(2, '0')).join('');

  function setState(state) { document.body.dataset.state = state; }

  function showStatus(text, isError = false) {
    statusLine.textContent = text;
    statusLine.classList.toggle('error', isError);
  }

  // The command as text, with each option kept on one line with its value, so
  // the box wraps only between arguments.
  function showCommand(text) {
    const words = text.split(' ');
    const parts = [];
    for (let i = 0; i < words.length; i++) {
      let group = words[i];
      if (group.startsWith('-') && i + 1 < words.length && !words[i + 1].startsWith('-')) group += ` ${words[++i]}`;
      const span = document.createElement('span');
      span.className = 'argument';
      span.textContent = group;
      if (parts.length) parts.push(' ');
      parts.push(span);
    }
    commandBox.replaceChildren(...parts);
  }

  function decimals(precision) { return Math.max(0, Math.min(6, precision | 0)); }

  // ---- Widgets from the declared controls ---------------------------------
  function buildControls(controls) {
    const form = $('controls');
    // Enter in a field applies it through its change event; the form itself
    // goes nowhere (the page's policy allows no inline handler to say so).
    form.addEventListener('submit', (event) => event.preventDefault());
    for (const c of controls) {
      const block = document.createElement('div');
      block.className = 'control';
      block.dataset.key = c.key;
      const label = document.createElement('label');
      label.textContent = c.name;
      block.append(label);
      if (c.kind === 'point') {
        const row = document.createElement('div');
        row.className = 'row';
        const xy = ['x', 'y'].map((axis, i) => {
          const input = document.createElement('input');
          input.type = 'number';
          input.step = 'any';
          input.id = `${c.key}-${axis}`;
          input.setAttribute('aria-label', `${c.name} ${axis} (pixels)`);
          input.addEventListener('change', () => {
            const v = Number(input.value);
            if (input.value === '' || !Number.isFinite(v)) return;
            edit('center', i === 0 ? [v, values.center[1]] : [values.center[0], v]);
            placeMarker();
            requestRender(true);
          });
          const axisLabel = document.createElement('span');
          axisLabel.className = 'unit';
          axisLabel.textContent = axis;
          row.append(axisLabel, input);
          return input;
        });
        const unit = document.createElement('span');
        unit.className = 'unit';
        unit.textContent = 'px';
        row.append(unit);
        label.htmlFor = xy[0].id;
        block.append(row);
        inputs[c.key] = { set: (v) => { xy[0].value = v[0]; xy[1].value = v[1]; } };
      } else if (c.kind === 'slider') {
        const row = document.createElement('div');
        row.className = 'row';
        const range = document.createElement('input');
        range.type = 'range';
        range.id = `${c.key}-slider`;
        range.min = c.sliderMin;
        range.max = c.sliderMax;
        range.step = 10 ** -decimals(c.precision);
        const number = document.createElement('input');
        number.type = 'number';
        number.id = `${c.key}-value`;
        number.min = c.min;
        number.max = c.max;
        number.step = 'any';
        number.setAttribute('aria-label', c.name);
        const unit = document.createElement('span');
        unit.className = 'unit';
        unit.textContent = c.unit;
        label.htmlFor = range.id;
        range.addEventListener('input', () => {
          edit(c.key, Number(range.value));
          number.value = range.value;
          requestRender(false);
        });
        range.addEventListener('change', () => requestRender(true));
        number.addEventListener('change', () => {
          const v = Number(number.value);
          if (number.value === '' || !Number.isFinite(v)) return;
          edit(c.key, v);
          range.value = v;
          requestRender(true);
        });
        row.append(range, number, unit);
        block.append(row);
        inputs[c.key] = { set: (v) => { range.value = v; number.value = v; } };
      } else if (c.kind === 'popup') {
        const select = document.createElement('select');
        select.id = `${c.key}-select`;
        for (const choice of c.choices) {
          const option = document.createElement('option');
          option.value = choice.value;
          option.textContent = choice.name;
          select.append(option);
        }
        label.htmlFor = select.id;
        select.addEventListener('change', () => {
          edit(c.key, Number(select.value));
          requestRender(true);
        });
        block.append(select);
        inputs[c.key] = { set: (v) => { select.value = String(v); } };
      }
      if (frame.timeline) buildKeyWidgets(c, block);
      form.append(block);
    }
  }

  // A key toggle for the frame on screen and, for numbers, its interpolation.
  function buildKeyWidgets(c, block) {
    const row = document.createElement('div');
    row.className = 'key';
    const button = document.createElement('button');
    button.type = 'button';
    button.id = `${c.key}-key`;
    button.textContent = 'Key';
    button.title = `Set or delete the ${c.name} key on this frame`;
    button.addEventListener('click', () => {
      if (keyAt(c.key) !== undefined) deleteKey(c.key);
      else setKey(c.key, ease ? ease.value : 'linear');
      requestRender(true);
    });
    row.append(button);
    let ease = null;
    if (c.kind !== 'popup') {   // the lens steps from key to key
      ease = document.createElement('select');
      ease.id = `${c.key}-ease`;
      ease.setAttribute('aria-label', `${c.name} interpolation to the next key`);
      for (const name of interpolations) ease.append(new Option(name, name));
      ease.addEventListener('change', () => {
        if (keyAt(c.key) === undefined) return;
        setKey(c.key, ease.value);
        requestRender(true);
      });
      row.append(ease);
    }
    block.append(row);
    keyWidgets[c.key] = { button, ease };
  }

  // ---- Keys --------------------------------------------------------------------
  const isFrameKeys = (track) => track !== null && typeof track === 'object' && !Array.isArray(track);
  const keyed = (key) => keys[key] !== undefined;
  const keyAt = (key) => (isFrameKeys(keys[key]) ? keys[key][frameNo] : undefined);
  const keyValue = (k) => (isFrameKeys(k) ? k.value : k);
  const easeOf = (k) => (isFrameKeys(k) && k.ease) || 'linear';

  function edit(key, value) {
    values[key] = value;
    if (keyed(key)) setKey(key);
  }

  function setKey(key, ease = easeOf(keyAt(key))) {
    if (!isFrameKeys(keys[key])) keys[key] = {};
    keys[key][frameNo] = ease === 'linear' ? values[key] : { value: values[key], ease };
    keysChanged();
  }

  function deleteKey(key) {
    delete keys[key][frameNo];
    if (Object.keys(keys[key]).length === 0) delete keys[key];
    keysChanged();
  }

  // The key widgets, the marks on the timeline and the centre's path.
  function keysChanged() {
    if (!frame.timeline) return;
    for (const [key, { button, ease }] of Object.entries(keyWidgets)) {
      const k = keyAt(key);
      button.setAttribute('aria-pressed', String(k !== undefined));
      if (ease) ease.value = easeOf(k);
    }
    const { first, last } = frame.timeline;
    const frames = new Set();
    for (const track of Object.values(keys)) if (isFrameKeys(track)) Object.keys(track).forEach((f) => frames.add(Number(f)));
    $('key-marks').replaceChildren(...[...frames].map((f) => {
      const mark = document.createElement('span');
      mark.style.left = `${last > first ? ((f - first) / (last - first)) * 100 : 0}%`;
      return mark;
    }));
    const size = [frame.width, frame.height];
    const pixels = (v, axis) => (typeof v === 'string' && v.endsWith('%') ? (parseFloat(v) / 100) * size[axis] : Number(v));
    const path = isFrameKeys(keys.center)
      ? Object.entries(keys.center).sort((a, b) => a[0] - b[0]).map(([, k]) => keyValue(k))
        .map((p) => `${pixels(p[0], 0)},${pixels(p[1], 1)}`) : [];
    $('path-line').setAttribute('points', path.join(' '));
  }

  async function postJson(path, text) {
    const response = await fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: text });
    const answer = await response.text();
    if (!response.ok) throw new Error(JSON.parse(answer).error || `HTTP ${response.status}`);
    return answer;
  }

  function goToFrame(n, final) {
    frameNo = Math.min(Math.max(n, frame.timeline.first), frame.timeline.last);
    $('frame-slider').value = frameNo;
    $('frame-number').textContent = `frame ${frameNo}`;
    keysChanged();
    requestRender(final);
  }

  function buildTimeline() {
    const { first, last } = frame.timeline;
    const slider = $('frame-slider');
    slider.min = first;
    slider.max = last;
    slider.addEventListener('input', () => goToFrame(Number(slider.value), false));
    slider.addEventListener('change', () => goToFrame(Number(slider.value), true));
    $('previous-frame').addEventListener('click', () => goToFrame(frameNo - 1, true));
    $('next-frame').addEventListener('click', () => goToFrame(frameNo + 1, true));
    $('track').addEventListener('click', () => {
      armedToTrack = !armedToTrack;
      $('track').setAttribute('aria-pressed', String(armedToTrack));
      if (armedToTrack) showStatus('Click on the light to track.');
    });
    $('download-keys').addEventListener('click', async () => {
      try {
        const text = await postJson('/api/keys', JSON.stringify(keys));
        const link = document.createElement('a');
        link.href = URL.createObjectURL(new Blob([text], { type: 'application/json' }));
        link.download = keysFile;
        link.click();
        setTimeout(() => URL.revokeObjectURL(link.href), 60000);
      } catch (error) {
        showStatus(`Cannot write the keys: ${error.message}`, true);
      }
    });
    $('load-keys').addEventListener('change', async (event) => {
      const file = event.target.files[0];
      if (!file) return;
      try {
        keys = JSON.parse(await postJson('/api/keys', await file.text()));
        keysChanged();
        requestRender(true);
        showStatus(`Loaded the keys of ${file.name}.`);
      } catch (error) {
        showStatus(`Cannot load ${file.name}: ${error.message}`, true);
      }
      event.target.value = '';
    });
    $('path').setAttribute('viewBox', `0 0 ${frame.width} ${frame.height}`);
    $('timeline').hidden = false;
    $('animation').hidden = false;
    goToFrame(frame.number, true);
  }

  async function trackFrom(point) {
    armedToTrack = false;
    $('track').setAttribute('aria-pressed', 'false');
    showStatus(`Tracking the light at ${point[0]}, ${point[1]}...`);
    try {
      const answer = JSON.parse(await postJson('/api/track', JSON.stringify({ from: point, frame: frameNo })));
      keys.center = answer.center;
      keysChanged();
      requestRender(true);
      showStatus(`Tracked the light over ${Object.keys(answer.center).length} frames` +
                 (answer.lost.length ? `; lost on ${answer.lost.join(', ')}, where it is predicted.` : '.'));
    } catch (error) {
      showStatus(`Cannot track: ${error.message}`, true);
    }
  }

  function syncInputs() {
    for (const [key, widget] of Object.entries(inputs)) widget.set(values[key]);
  }

  // ---- The picture ---------------------------------------------------------
  // Fit: the whole frame in the window. Otherwise one frame pixel per device
  // pixel. A shrunk preview is drawn at the same size, so the picture never
  // jumps while the user drags.
  function layout() {
    if (!frame) return;
    let scale;
    if (fit.checked) {
      const style = getComputedStyle(stage);
      const availableWidth = stage.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
      const availableHeight = stage.clientHeight - parseFloat(style.paddingTop) - parseFloat(style.paddingBottom);
      scale = Math.max(0.01, Math.min(availableWidth / frame.width, availableHeight / frame.height));
    } else {
      scale = 1 / (window.devicePixelRatio || 1);
    }
    stage.classList.toggle('fit', fit.checked);
    picture.style.width = `${frame.width * scale}px`;
    picture.style.height = `${frame.height * scale}px`;
    placeMarker();
  }

  function placeMarker() {
    if (!frame || !values.center) return;
    marker.style.left = `${(values.center[0] / frame.width) * 100}%`;
    marker.style.top = `${(values.center[1] / frame.height) * 100}%`;
    marker.setAttribute('aria-valuetext', `${values.center[0]}, ${values.center[1]} pixels`);
    inputs.center?.set(values.center);
  }

  // The frame pixel under the pointer, kept inside the frame.
  function pixelAt(event) {
    const r = picture.getBoundingClientRect();
    const x = Math.floor(((event.clientX - r.left) / r.width) * frame.width);
    const y = Math.floor(((event.clientY - r.top) / r.height) * frame.height);
    return [Math.min(Math.max(x, 0), frame.width - 1), Math.min(Math.max(y, 0), frame.height - 1)];
  }

  function moveCenter(event) {
    edit('center', pixelAt(event));
    placeMarker();
  }

  const box = $('picture-box');
  box.addEventListener('pointerdown', (event) => {
    if (!frame || event.button !== 0) return;
    if (armedToTrack) {
      trackFrom(pixelAt(event));
      return;
    }
    dragging = true;
    box.setPointerCapture(event.pointerId);
    moveCenter(event);
    requestRender(false);
  });
  box.addEventListener('pointermove', (event) => {
    if (!dragging) return;
    moveCenter(event);
    requestRender(false);
  });
  const endDrag = () => {
    if (!dragging) return;
    dragging = false;
    requestRender(true);
  };
  box.addEventListener('pointerup', endDrag);
  box.addEventListener('pointercancel', endDrag);

  marker.addEventListener('keydown', (event) => {
    const step = event.shiftKey ? 10 : 1;
    const moves = { ArrowLeft: [-step, 0], ArrowRight: [step, 0], ArrowUp: [0, -step], ArrowDown: [0, step] };
    const move = moves[event.key];
    if (!move || !frame) return;
    event.preventDefault();
    edit('center', [values.center[0] + move[0], values.center[1] + move[1]]);
    placeMarker();
    requestRender(true);
  });

  fit.addEventListener('change', layout);
  window.addEventListener('resize', layout);

  // ---- Rendering -------------------------------------------------------------
  function requestRender(final) {
    // Keyed controls come from the keys; the others go as they are set.
    const body = { frame: frameNo };
    for (const key of Object.keys(inputs)) if (!keyed(key)) body[key] = values[key];
    if (Object.keys(keys).length) body.keys = keys;
    if (!final) {
      // While dragging, a preview as wide as the picture on screen is enough;
      // the module still renders the full frame and the server shrinks it.
      const deviceWidth = Math.ceil(picture.getBoundingClientRect().width * (window.devicePixelRatio || 1));
      if (deviceWidth < frame.width) body.maxWidth = Math.max(1, deviceWidth);
      if (inFlight > 0) {
        waiting = body;
        return;
      }
    }
    waiting = null;
    send(body);
  }

  async function send(body) {
    const sequence = ++sent;
    inFlight++;
    setState('rendering');
    try {
      const response = await fetch('/api/render', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'Preview-Page': pageId },
        body: JSON.stringify(body),
      });
      const answer = await response.json().catch(() => ({ error: `HTTP ${response.status}` }));
      if (response.status === 409) return;          // a newer request took its place
      if (!response.ok) {
        if (sequence === sent) showStatus(answer.error || `HTTP ${response.status}`, true);
        return;
      }
      await show(answer, sequence);
    } catch (error) {
      if (sequence === sent) showStatus(`The preview server did not answer (${error.message})`, true);
    } finally {
      inFlight--;
      if (inFlight === 0 && waiting) {
        const next = waiting;
        waiting = null;
        send(next);
      } else if (inFlight === 0) {
        setState('idle');
      }
    }
  }

  async function show(answer, sequence) {
    if (sequence < shown) return;                   // an older result arriving late
    const png = await fetch(answer.image);
    if (!png.ok) return;
    const url = URL.createObjectURL(await png.blob());
    const loaded = new Image();
    loaded.src = url;
    try {
      await loaded.decode();
    } catch {
      URL.revokeObjectURL(url);
      return;
    }
    if (sequence < shown) {
      URL.revokeObjectURL(url);
      return;
    }
    shown = sequence;
    if (answer.frame === frameNo) {
      // What the keys give on this frame.
      for (const key of Object.keys(answer.values)) if (keyed(key)) values[key] = answer.values[key];
      syncInputs();
      placeMarker();
    }
    const previous = pictureUrl;
    picture.dataset.frame = answer.frame;
    picture.src = url;
    pictureUrl = url;
    picture.dataset.renderId = answer.id;
    picture.dataset.scaled = answer.scaled;
    showCommand(answer.command);
    if (answer.scaled) {
      download.setAttribute('aria-disabled', 'true');
      $('scale-note').textContent =
        `Shown shrunk to ${answer.width}x${answer.height} while you drag; the full frame follows when you let go.`;
    } else {
      // The same pixels, packed smaller by the server when asked for.
      download.href = answer.download;
      download.setAttribute('aria-disabled', 'false');
      $('scale-note').textContent = '';
    }
    if (previous) URL.revokeObjectURL(previous);
    showStatus(`Rendered ${frame.width}x${frame.height} in ${Math.round(answer.renderMs)} ms` +
               (answer.scaled ? ', shown shrunk' : ''));
  }

  $('copy').addEventListener('click', async () => {
    try {
      await navigator.clipboard.writeText(commandBox.textContent);
      showStatus('Command copied.');
    } catch {
      getSelection().selectAllChildren(commandBox);
      showStatus('Press Ctrl-C to copy the selected command.');
    }
  });

  async function start() {
    try {
      const response = await fetch('/api/controls');
      const info = await response.json();
      if (!response.ok) throw new Error(info.error || `HTTP ${response.status}`);
      frame = info.frame;
      frameNo = frame.number;
      keysFile = info.keysFile;
      interpolations = info.interpolations;
      $('frame-label').textContent = `${frame.label}, ${frame.width}x${frame.height}`;
      buildControls(info.controls);
      Object.assign(values, info.defaults);
      syncInputs();
      showCommand(info.command);
      layout();
      if (frame.timeline) buildTimeline();
      else requestRender(true);
    } catch (error) {
      setState('error');
      showStatus(`Cannot load the controls: ${error.message}`, true);
    }
  }

  start();
})();
