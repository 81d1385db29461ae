// The reference for the real-time client benchmark: pusher-js on a public channel of the bench's
// server, timing each event from the trigger's monotonic timestamp carried in its data.
// Prints "ready" once subscribed, then one JSON line of results after `count` events.
import { createRequire } from 'node:module';

const require = createRequire(process.env.VARNEL_INTEROP + '/');
const Pusher = require('pusher-js');

const { key, wsPort, channel, count } = JSON.parse(process.env.VARNEL_BENCHMARK);
const client = new Pusher(key, { cluster: 'local', wsHost: '127.0.0.1', wsPort, forceTLS: false,
                                 enabledTransports: ['ws'] });
const latencies = [];
let cpuAtStart;
const subscription = client.subscribe(channel);
subscription.bind('pusher:subscription_succeeded', () => {
  cpuAtStart = process.cpuUsage();
  console.log('ready');
});
subscription.bind('job.created', (data) => {
  const now = process.hrtime.bigint();
  latencies.push(Number(now - BigInt(data.t0)));
  if (latencies.length === count) {
    const cpu = process.cpuUsage(cpuAtStart);
    client.disconnect();
    // Written out in full before exiting: a pipe takes a long line in several writes.
    process.stdout.write(JSON.stringify({ latencies, cpuMicroseconds: cpu.user + cpu.system }) + '\n',
                         () => process.exit(0));
  }
});
