// A Node.js host that uses kestal-cli.exe as a library, through koffi:
//   node host.cjs PATH\TO\kestal-cli.exe [PROGRAM]
// It loads the exe, resolves the five exports by name, lists the windows,
// starts PROGRAM (notepad.exe unless given), pins and fades that program's
// window, reads both changes back from the listing (and the pin from user32 too),
// undoes them, and shows the text of a rejected call. Exit code 0 when every
// step did what it should.
'use strict';

const koffi = require('koffi');
const { spawn } = require('node:child_process');
const path = require('node:path');

const GWL_EXSTYLE = -20;
const WS_EX_TOPMOST = 0x8;

let failures = 0;

function expect(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok)
    failures++;
}

function hex(address) {
  return `0x${BigInt(address).toString(16)}`;
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

async function main(exePath, program) {
  let kestal;
  try {
    kestal = koffi.load(exePath);
  } catch (error) {
    throw new Error(`loading ${exePath} failed (${error.message}): give the path of kestal-cli.exe`);
  }
  // kestal_list's text must go back to kestal_free_string, so its pointer is
  // declared opaque (koffi hands it over as a BigInt) and decoded by hand;
  // a 'char *' return would be copied into a JS string and the pointer lost.
  // kestal_last_error's text belongs to the library, so koffi may copy it.
  const api = {
    list: kestal.func('void *kestal_list(void)'),
    freeString: kestal.func('void kestal_free_string(void *text)'),
    setTopmost: kestal.func('int32_t kestal_set_topmost(void *hwnd, int32_t topmost)'),
    setOpacity: kestal.func('int32_t kestal_set_opacity(void *hwnd, int32_t pct)'),
    lastError: kestal.func('const char *kestal_last_error(void)'),
  };

  const kernel32 = koffi.load('kernel32.dll');
  const GetModuleHandleW = kernel32.func('void *GetModuleHandleW(const char16_t *name)');
  const user32 = koffi.load('user32.dll');
  const GetWindowThreadProcessId = user32.func('uint32_t GetWindowThreadProcessId(void *hwnd, _Out_ uint32_t *pid)');
  const GetWindowLongPtrW = user32.func('intptr_t GetWindowLongPtrW(void *hwnd, int index)');

  // node.exe asks for the same base address as kestal-cli.exe and is there
  // first, so in this host kestal-cli.exe runs elsewhere and relocates itself.
  console.log(`host image at ${hex(GetModuleHandleW(null))}`);
  console.log(`kestal-cli.exe loaded at ${hex(GetModuleHandleW(exePath))}`);

  // The windows as parsed JSON, or null. Window handles carry 32 significant
  // bits even in 64-bit processes, so JSON numbers hold them exactly.
  function listWindows() {
    const text = api.list();
    if (!text)
      return null;
    try {
      return JSON.parse(koffi.decode(text, 'char', -1));
    } catch {
      return null;
    } finally {
      api.freeString(text);
    }
  }

  function ownedBy(pid) {
    for (const window of listWindows() || []) {
      const owner = [0];
      GetWindowThreadProcessId(window.hwnd, owner);
      if (owner[0] === pid)
        return window;
    }
    return null;
  }

  function listed(hwnd) {
    return (listWindows() || []).find((window) => window.hwnd === hwnd) || {};
  }

  const windows = listWindows();
  expect(Array.isArray(windows), 'kestal_list returns a JSON array');
  console.log(JSON.stringify(windows));

  const child = spawn(program, [], { stdio: 'ignore' });
  const started = await new Promise((resolve) => {
    child.once('spawn', () => resolve(true));
    child.once('error', () => resolve(false));
  });
  expect(started, `${program} started`);
  // The program is ended on every path, also when a step throws.
  try {
    let window = null;
    for (let waited = 0; started && !window && waited < 15000; waited += 100) {
      window = ownedBy(child.pid);
      if (!window)
        await sleep(100);
    }
    expect(window !== null, `the listing shows a window of ${program}`);
    if (window) {
      const hwnd = window.hwnd;
      expect(api.setTopmost(hwnd, 1) === 1, `kestal_set_topmost(${hwnd}, 1)`);
      expect(listed(hwnd).pinned === true, 'the listing shows the window pinned');
      expect(api.setOpacity(hwnd, 60) === 1, `kestal_set_opacity(${hwnd}, 60)`);
      expect(listed(hwnd).opacity === 60, 'the listing shows the window at 60');
      expect((Number(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)) & WS_EX_TOPMOST) !== 0, 'user32 shows WS_EX_TOPMOST');
      expect(api.setOpacity(hwnd, 100) === 1 && api.setTopmost(hwnd, 0) === 1, 'the window is restored');
      const restored = listed(hwnd);
      expect(restored.pinned === false && restored.opacity === 100, 'the listing shows it restored');
    }
  } finally {
    if (started)
      child.kill();
  }

  expect(api.setOpacity(null, 10) === 0, 'kestal_set_opacity(NULL, 10) is rejected');
  console.log(`last error: ${api.lastError()}`);
  expect(api.lastError() === 'set_opacity: pct out of range 20-100 (got 10)', 'with the range text');
  api.freeString(null);

  console.log(failures ? 'host: FAILED' : 'host: all steps passed');
  return failures ? 1 : 0;
}

if (process.argv.length < 3) {
  console.error('usage: node host.cjs PATH\\TO\\kestal-cli.exe [PROGRAM]');
  process.exit(2);
}
// An absolute path, so that GetModuleHandleW names the very image that
// koffi loaded, whatever the folder it was started from.
main(path.resolve(process.argv[2]), process.argv[3] || 'notepad.exe').then(
  (code) => { process.exitCode = code; },
  (error) => { console.error(`host: ${error.message}`); process.exitCode = 1; });
