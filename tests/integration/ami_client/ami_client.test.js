// A third-party AMI client (the npm package asterisk-manager) against the
// development PBX: it logs in and lists the endpoints through the plug-in's
// QuelvaronShowEndpoints action, parsing every event with its own reader.
//
// run_ami_client_test.sh starts the PBX and passes its port and endpoint
// count in QUELVARON_DEVPBX_PORT and QUELVARON_DEVPBX_ENDPOINTS.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const AsteriskManager = require('asterisk-manager');

const port = Number(process.env.QUELVARON_DEVPBX_PORT);
const endpointCount = Number(process.env.QUELVARON_DEVPBX_ENDPOINTS);
const timeout = 15000;

let ami;

// Sends one action; resolves with [error, response] as the library reports them.
function action(fields) {
  return new Promise((resolve) => {
    ami.action(fields, (err, res) => resolve([err, res]));
  });
}

// Collects the events of one action id until `lastEvent` arrives.
function collect(actionid, lastEvent) {
  return new Promise((resolve) => {
    const seen = [];
    const onEvent = (evt) => {
      if (evt.actionid !== actionid) return;
      seen.push(evt);
      if (evt.event === lastEvent) {
        ami.removeListener('managerevent', onEvent);
        resolve(seen);
      }
    };
    ami.on('managerevent', onEvent);
  });
}

before(() => {
  assert.ok(port > 0, 'QUELVARON_DEVPBX_PORT is set');
  assert.ok(endpointCount > 0, 'QUELVARON_DEVPBX_ENDPOINTS is set');
  // No port here: the constructor would connect and log in without telling us.
  ami = new AsteriskManager(0, '127.0.0.1', 'quelvaron', 'secret', true);
  return new Promise((resolve, reject) => {
    ami.once('error', reject);
    ami.connect(port, '127.0.0.1', () => {
      ami.login((err) => (err ? reject(new Error(err.message || 'login refused')) : resolve()));
    });
  });
});

after(async () => {
  if (!ami) return;
  if (ami.isConnected()) await action({ action: 'Logoff' });
  await new Promise((resolve) => ami.disconnect(resolve));
});

test('the login was accepted and the connection stays up', { timeout }, () => {
  assert.equal(ami.isConnected(), true);
});

test('QuelvaronShowEndpoints lists every endpoint as one event each', { timeout }, async () => {
  const events = collect('node-list', 'QuelvaronEndpointListComplete');
  const [err, res] = await action({ action: 'QuelvaronShowEndpoints', actionid: 'node-list' });
  assert.equal(err, undefined);
  assert.equal(res.response, 'Success');
  assert.equal(res.message, 'Endpoint list will follow');

  const all = await events;
  const items = all.filter((e) => e.event === 'QuelvaronEndpointList');
  const complete = all[all.length - 1];
  assert.equal(all.length, endpointCount + 1, 'one event per endpoint and the completion event');
  assert.equal(items.length, endpointCount);
  assert.equal(complete.event, 'QuelvaronEndpointListComplete');
  assert.equal(complete.listitems, String(endpointCount));
  assert.equal(complete.total, String(endpointCount));

  const fields = ['objectname', 'transport', 'aors', 'auths', 'context', 'disallow', 'allow', 'status',
                  'activechannels'];
  for (const item of items) {
    for (const f of fields) assert.equal(typeof item[f], 'string', `${f} in ${JSON.stringify(item)}`);
    assert.match(item.activechannels, /^-?\d+$/);
    assert.equal(item.privilege, undefined, 'list events are part of the reply, not raised events');
  }
  const names = items.map((e) => e.objectname);
  assert.equal(new Set(names).size, endpointCount, 'every endpoint once');
  assert.equal(names[0], '2000', 'index order');
});

test('QuelvaronShowEndpoint shows one endpoint in detail', { timeout }, async () => {
  const events = collect('node-detail', 'QuelvaronEndpointDetail');
  const [err, res] = await action({ action: 'QuelvaronShowEndpoint', endpoint: '2001', actionid: 'node-detail' });
  assert.equal(err, undefined);
  assert.equal(res.message, 'Endpoint detail found');
  const [detail] = await events;
  assert.equal(detail.endpoint, '2001');
  assert.match(detail.directmedia, /^(yes|no)$/);
  assert.match(detail.webrtc, /^(yes|no)$/);
});

test('an unknown endpoint is reported as an error', { timeout }, async () => {
  const [err, res] = await action({ action: 'QuelvaronShowEndpoint', endpoint: 'nobody', actionid: 'node-missing' });
  assert.ok(err, 'the library reports the error response');
  assert.equal(res.response, 'Error');
  assert.equal(res.message, 'Endpoint not found');
});

test('a CLI command comes back in the classic Follows framing', { timeout }, async () => {
  const [err, res] = await action({ action: 'Command', command: 'core show version' });
  assert.equal(err, undefined);
  assert.equal(res.response, 'follows');
  // The library keeps the lines up to the end marker, without the marker.
  assert.match(res.content, /^Response: Follows\nActionID: \d+\nPrivilege: Command\nAsterisk .+$/);
});
