// The browser's one event stream of kirn metrics, shared by every page of it that is open (a
// browser keeps few connections per server for all its tabs, and a stream holds one for good).
// Each page connects to this worker and gets every event of the stream as {type, id, data}, in
// arrays of those that came together; {type: 'down'} when the stream is lost (the worker opens it again, and its snapshot comes as
// 'snapshot'). Every page reads what it needs once the stream is there, so the snapshot of the
// stream (the overview) only says that it is.
'use strict';

const ports = new Set();
let source = null;
let live = false;

// Events go to the pages in batches, one message a page for all that came together (a salvo's
// routes arrive many to a network read).
let batch = [];
function post(message) {
  batch.push(message);
  if (batch.length > 1) return;
  setTimeout(() => {
    const out = batch;
    batch = [];
    for (const port of ports) port.postMessage(out);
  }, 0);
}

function open() {
  source = new EventSource('/api/events');
  for (const type of ['snapshot', 'route', 'mode', 'link']) {
    source.addEventListener(type, (e) => {
      let data = null;
      try {
        data = JSON.parse(e.data);
      } catch (err) {
        return;
      }
      live = true;
      post({type, id: e.lastEventId, data});
    });
  }
  source.onerror = () => {
    live = false;
    post({type: 'down'});
    // The browser reconnects by itself (with the last id) unless the server refused the stream.
    if (source.readyState === EventSource.CLOSED) {
      source = null;
      setTimeout(() => { if (ports.size > 0 && !source) open(); }, 10000);
    }
  };
}

onconnect = (e) => {
  const port = e.ports[0];
  ports.add(port);
  port.onmessage = (m) => {
    if (m.data === 'bye') ports.delete(port);
  };
  port.start();
  if (!source) open();
  else if (live) port.postMessage([{type: 'live'}]);
};
