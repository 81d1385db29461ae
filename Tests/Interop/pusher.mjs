// The bench's Pusher-protocol server, checked with the Pusher client (pusher-js) and server SDK
// (pusher), neither of which was written for it. Run by run-with-bench, which starts the bench and
// hands over its ports in VARNEL_BENCH.
import assert from 'node:assert/strict';
import { after, test } from 'node:test';

import PusherServer from 'pusher';
import PusherClient from 'pusher-js';

const bench = JSON.parse(process.env.VARNEL_BENCH ?? '');
const { appId, key, secret, wsPort, wssPort } = bench.pusher;
const control = `http://127.0.0.1:${bench.controlPort}`;

const clients = [];
after(() => {
  for (const client of clients) client.disconnect();
});

async function controlPost(path, body = {}) {
  const response = await fetch(control + path, { method: 'POST', body: JSON.stringify(body) });
  assert.equal(response.status, 200, `${path}: ${await response.text()}`);
}

async function benchState() {
  return (await fetch(control + '/pusher/state')).json();
}

// Asks the bench's signing, as an app's channel-auth endpoint would be asked.
function benchAuthorizer({ socketId, channelName }, callback) {
  const query = new URLSearchParams({ socket_id: socketId, channel_name: channelName });
  fetch(`${control}/pusher/auth?${query}`)
    .then(async (response) => {
      if (response.status !== 200) throw new Error(`auth endpoint answered ${response.status}`);
      callback(null, await response.json());
    })
    .catch((error) => callback(error, null));
}

function connect({ tls = false, authorizer = benchAuthorizer } = {}) {
  const client = new PusherClient(key, {
    cluster: 'local',
    wsHost: '127.0.0.1',
    wsPort,
    wssPort,
    forceTLS: tls,
    // The 'ws' transport goes to wss://wsHost:wssPort when TLS is forced.
    enabledTransports: ['ws'],
    channelAuthorization: { customHandler: authorizer },
  });
  clients.push(client);
  return client;
}

// Resolves with the first of `events` that `emitter` emits, or fails after `ms`.
function nextOf(emitter, events, ms = 5000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`none of ${events} within ${ms} ms`)), ms);
    for (const name of events) {
      emitter.bind(name, function handler(data) {
        emitter.unbind(name, handler);
        clearTimeout(timer);
        resolve({ name, data });
      });
    }
  });
}

async function connected(client) {
  if (client.connection.state !== 'connected') {
    const { name } = await nextOf(client.connection, ['connected', 'unavailable', 'failed']);
    assert.equal(name, 'connected');
  }
  return client.connection.socket_id;
}

function sdk(options = {}) {
  return new PusherServer({ appId, key, secret, host: '127.0.0.1', port: String(wsPort), useTLS: false, ...options });
}

test('pusher-js subscribes with the bench signature and receives what the pusher SDK triggers', async () => {
  const client = connect();
  const socketId = await connected(client);
  assert.match(socketId, /^\d+\.\d+$/);

  const channel = client.subscribe('private-device.7');
  const subscribed = await nextOf(channel, ['pusher:subscription_succeeded', 'pusher:subscription_error']);
  assert.equal(subscribed.name, 'pusher:subscription_succeeded');

  const server = sdk();
  const received = nextOf(channel, ['job.created']);
  const response = await server.trigger('private-device.7', 'job.created', { job_id: 8814 });
  assert.equal(response.status, 200);
  assert.deepEqual((await received).data, { job_id: 8814 });

  // The SDK signs a subscription exactly as the bench does.
  const query = new URLSearchParams({ socket_id: socketId, channel_name: 'private-device.7' });
  const benchAuth = await (await fetch(`${control}/pusher/auth?${query}`)).json();
  assert.deepEqual(server.authorizeChannel(socketId, 'private-device.7'), benchAuth);

  const state = await benchState();
  assert.ok(
    state.subscriptions.some((s) => s.channel === 'private-device.7' && s.socketId === socketId && s.accepted),
    JSON.stringify(state.subscriptions),
  );
  assert.ok(state.requestTargets.every((t) => t.startsWith(`/app/${key}?protocol=7&client=js`)), state.requestTargets);
});

test('a trigger signed with the wrong secret is refused with 401 and delivers nothing', async () => {
  const client = connect();
  await connected(client);
  const channel = client.subscribe('private-device.8');
  assert.equal((await nextOf(channel, ['pusher:subscription_succeeded'])).name, 'pusher:subscription_succeeded');

  const deliveries = [];
  channel.bind('job.cancelled', (data) => deliveries.push(data));
  await assert.rejects(sdk({ secret: 'not-the-secret' }).trigger('private-device.8', 'job.cancelled', { job_id: 1 }), (error) => {
    assert.equal(error.status, 401);
    return true;
  });
  // Events on one socket arrive in order: had the forged one been sent, it would come first.
  const received = nextOf(channel, ['job.cancelled']);
  await sdk().trigger('private-device.8', 'job.cancelled', { job_id: 2 });
  await received;
  assert.deepEqual(deliveries, [{ job_id: 2 }]);
  assert.equal((await benchState()).apiTriggersRefused, 1);
});

test('a subscription with a bad signature gets the protocol error pusher-js reports', async () => {
  const forged = (_params, callback) => callback(null, { auth: `${key}:${'0'.repeat(64)}` });
  const client = connect({ authorizer: forged });
  await connected(client);
  const error = nextOf(client.connection, ['error']);
  const channel = client.subscribe('private-device.9');
  const { data } = await error;
  assert.equal(data.type, 'PusherError');
  assert.match(data.data.message, /Invalid signature/);
  assert.equal(channel.subscribed, false);
});

test('pusher-js reconnects and subscribes again after the bench drops its socket', async () => {
  const client = connect();
  const first = await connected(client);
  const channel = client.subscribe('private-device.10');
  await nextOf(channel, ['pusher:subscription_succeeded']);

  const resubscribed = nextOf(channel, ['pusher:subscription_succeeded'], 15000);
  await controlPost('/pusher/drop');
  await resubscribed;
  assert.notEqual(client.connection.socket_id, first);

  const received = nextOf(channel, ['printers.rescan']);
  await controlPost('/pusher/trigger', { channel: 'private-device.10', event: 'printers.rescan', data: '{}' });
  assert.deepEqual((await received).data, {});
});

test('over TLS, with the bench authority trusted, both pusher-js and the SDK work', async () => {
  const client = connect({ tls: true });
  await connected(client);
  const channel = client.subscribe('private-device.11');
  await nextOf(channel, ['pusher:subscription_succeeded']);

  const received = nextOf(channel, ['device.reconnect']);
  await sdk({ port: String(wssPort), useTLS: true }).trigger('private-device.11', 'device.reconnect', { after_ms: 0 });
  assert.deepEqual((await received).data, { after_ms: 0 });
});
