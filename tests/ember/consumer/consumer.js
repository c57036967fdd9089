// A real Ember+ consumer (node-emberplus) for the provider's tests and benchmark: it connects to
// `kirn metrics --ember` and does one thing, printing what it gets as lines on standard output.
//
//   node consumer.js HOST PORT tree                 every node and matrix, with connections and
//                                                   labels: NODE, MATRIX, CONN, LABEL lines, DONE
//   node consumer.js HOST PORT watch PATH           subscribes to the matrix at PATH, prints READY,
//                                                   then a CONN line for every connection sent
//   node consumer.js HOST PORT take PATH T S [OP]   routes source S to target T (OP: absolute,
//                                                   connect or disconnect), prints the CONN lines
//                                                   of target T, then FINAL DISPOSITION SOURCES
//   node consumer.js HOST PORT load PATH            loads the matrix at PATH with its labels as a
//                                                   panel would, prints LOADED with the times
//
// CONN PATH TARGET SOURCES DISPOSITION: SOURCES as "5" or "-" (none); DISPOSITION a number
// (0 tally, 1 modified, 2 pending, 3 locked), "-" when not sent. Exit code 0 when done, 2 on a
// usage error, 3 when the provider did not answer in time, 4 when the connection was lost.
'use strict';

const { EmberClient } = require('node-emberplus');

const [host, portText, command, ...args] = process.argv.slice(2);
const port = Number(portText);
if (!host || !port || !command) {
  console.error('usage: consumer.js HOST PORT tree|watch PATH|take PATH T S [OP]|load PATH');
  process.exit(2);
}

function out(line) {
  process.stdout.write(line + '\n');
}

function fail(code, why) {
  console.error('consumer: ' + why);
  process.exit(code);
}

// Every connection the provider sends, as it is decoded (the tree keeps no dispositions).
function onConnections(client, handler) {
  client.socket.on('emberTree', (root) => {
    const visit = (element, parentPath) => {
      if (element == null || typeof element.getPath !== 'function') return;
      const path = element.isQualified && element.isQualified()
        ? element.path
        : (parentPath === '' ? String(element.number) : parentPath + '.' + element.number);
      if (element.connections) {
        for (const key of Object.keys(element.connections)) {
          const c = element.connections[key];
          handler(path, c.target, c.sources, c.disposition);
        }
      }
      const children = element.getChildren ? element.getChildren() : null;
      if (children) for (const child of children) visit(child, path);
    };
    const top = root.getChildren ? root.getChildren() : null;
    if (top) for (const element of top) visit(element, '');
  });
}

function connText(path, target, sources, disposition) {
  const s = sources == null || sources.length === 0 ? '-' : sources.join('.');
  const d = disposition == null ? '-' : String(disposition);
  return `CONN ${path} ${target} ${s} ${d}`;
}

let lost = false;

function delay(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Waits until `done()` or `ms` have passed; true when done.
async function until(done, ms) {
  const end = Date.now() + ms;
  while (!done()) {
    if (Date.now() > end) return false;
    await delay(5);
  }
  return true;
}

async function expand(client, node, depth) {
  const answer = await client.getDirectoryAsync(node);
  const children = node.getChildren ? node.getChildren() : null;
  if (!children || depth > 8) return answer;
  for (const child of children) {
    const path = child.getPath();
    if (child.isMatrix()) {
      await client.getDirectoryAsync(child);
      const count = child.contents.targetCount;
      await until(() => Object.keys(child.connections || {}).length >= count, 5000);
      const base = child.contents.labels && child.contents.labels[0]
        ? child.contents.labels[0].basePath : '-';
      out(`MATRIX ${path} ${child.contents.identifier} ${count} ${child.contents.sourceCount} ${base}`);
      for (const key of Object.keys(child.connections || {})) {
        const c = child.connections[key];
        out(connText(path, c.target, c.sources, null));
      }
      if (base !== '-') {
        for (const list of ['1', '2']) {
          const listNode = await client.getElementByPathAsync(base + '.' + list);
          const want = list === '1' ? count : child.contents.sourceCount;
          await until(() => (listNode.getChildren() || []).length >= want, 5000);
          for (const label of listNode.getChildren() || []) {
            out(`LABEL ${label.getPath()} ${label.contents.identifier} ${label.contents.value}`);
          }
        }
      }
    } else if (child.isParameter()) {
      out(`PARAM ${path} ${child.contents.identifier} ${child.contents.value}`);
    } else {
      const c = child.contents || {};
      out(`NODE ${path} ${c.identifier} ${c.isOnline === false ? 'offline' : 'online'} ${c.description || ''}`);
      await expand(client, child, depth + 1);
    }
  }
  return answer;
}

async function main() {
  const client = new EmberClient({ host, port, timeoutValue: 3000 });
  client.on('error', () => {});
  client.on('disconnected', () => {
    lost = true;
    out('DISCONNECTED');
  });
  await client.connectAsync();

  if (command === 'tree') {
    await client.getDirectoryAsync();
    for (const top of client.root.getChildren() || []) {
      const c = top.contents || {};
      out(`NODE ${top.getPath()} ${c.identifier} online ${c.description || ''}`);
      await expand(client, top, 1);
    }
    out('DONE');
  } else if (command === 'watch') {
    const [path] = args;
    onConnections(client, (p, t, s, d) => {
      if (p === path) out(connText(p, t, s, d));
    });
    await client.getElementByPathAsync(path);
    out('READY');
    await new Promise(() => {});  // until killed
  } else if (command === 'take') {
    const [path, targetText, sourceText, op] = args;
    const target = Number(targetText);
    const source = Number(sourceText);
    let final = null;
    let sent = false;
    onConnections(client, (p, t, s, d) => {
      if (!sent || p !== path || t !== target) return;
      out(connText(p, t, s, d));
      if (d != null && d !== 2 && final == null) final = `FINAL ${d} ${s && s.length ? s.join('.') : '-'}`;
    });
    const matrix = await client.getElementByPathAsync(path);
    // What came before the take (the matrix's connections, with disposition tally) is no answer.
    sent = true;
    if (op === 'disconnect') {
      await client.matrixDisconnectAsync(matrix, target, [source]);
    } else if (op === 'connect') {
      await client.matrixConnectAsync(matrix, target, [source]);
    } else {
      await client.matrixSetConnection(matrix, target, [source]);
    }
    if (!(await until(() => final != null || lost, 10000))) fail(3, 'no final answer in 10 s');
    if (final == null) fail(4, 'connection lost');
    out(final);
  } else if (command === 'load') {
    const [path] = args;
    const started = process.hrtime.bigint();
    const matrix = await client.getElementByPathAsync(path);
    const count = matrix.contents.targetCount;
    if (!(await until(() => Object.keys(matrix.connections || {}).length >= count, 30000))) {
      fail(3, 'not every connection in 30 s');
    }
    const connections = process.hrtime.bigint();
    const base = matrix.contents.labels[0].basePath;
    let labels = 0;
    for (const list of ['1', '2']) {
      const node = await client.getElementByPathAsync(base + '.' + list);
      const want = list === '1' ? count : matrix.contents.sourceCount;
      if (!(await until(() => (node.getChildren() || []).length >= want, 30000))) {
        fail(3, 'not every label in 30 s');
      }
      labels += want;
    }
    const done = process.hrtime.bigint();
    const ms = (a, b) => (Number(b - a) / 1e6).toFixed(1);
    out(`LOADED targets ${count} labels ${labels} connections_ms ${ms(started, connections)} total_ms ${ms(started, done)}`);
  } else {
    fail(2, 'unknown command ' + command);
  }
  await client.disconnectAsync();
  process.exit(0);
}

main().catch((e) => fail(lost ? 4 : 3, String(e && e.stack ? e.stack : e)));
