// Drives the platform simulator with the Phoenix project's own JavaScript client
// (phoenix.js, over the `ws` package), step by step, for tests/test_phoenix_witness.py.
//
//   node phoenix_witness.mjs <witness folder> <socket endpoint> <vsn>
//
// Each step ends with one JSON line on stdout ({"step": ..., ...}); the driver then
// waits for one line on stdin before it goes on, so that the test can check the
// platform's side and act on it (crash a channel, drop the socket) in between.
// Any failure is reported as {"step": "error", "message": ...} with exit code 1.

import { createInterface } from "node:readline";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

const [witness, endpoint, vsn] = process.argv.slice(2);
const load = (path) => import(pathToFileURL(join(witness, "node_modules", path)).href);
const { Socket } = await load("phoenix/priv/static/phoenix.mjs");
const { default: WebSocket } = await load("ws/wrapper.mjs");

const AGENT = "agent-1";
const TOPICS = [`agent_rooms:${AGENT}`, `agent_control:${AGENT}`, "chat_room:lobby", "room_participants:lobby"];
const CHAT = "chat_room:lobby";

const stdin = createInterface({ input: process.stdin })[Symbol.asyncIterator]();

async function report(step, data = {}) {
  console.log(JSON.stringify({ step, ...data }));
  const next = await stdin.next();
  if (next.done || next.value !== "go") process.exit(0);
}

function fail(error) {
  console.log(JSON.stringify({ step: "error", message: String(error && error.stack || error) }));
  process.exit(1);
}
process.on("unhandledRejection", fail);
process.on("uncaughtException", fail);

// Every callback below calls `changed()`; `until` waits for a condition to hold.
const waiters = new Set();
function changed() {
  for (const check of [...waiters]) check();
}
function until(what, predicate) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), 10000);
    const check = () => {
      if (predicate()) {
        waiters.delete(check);
        clearTimeout(timer);
        resolve();
      }
    };
    waiters.add(check);
    check();
  });
}

// Version 1 speaks JSON objects; phoenix.js's own serializer speaks version 2 arrays.
function openSocket() {
  const options = {
    transport: WebSocket,
    vsn,
    params: { agent: AGENT },
    // phoenix.js also gives up on a heartbeat not answered within this interval.
    heartbeatIntervalMs: 500,
    rejoinAfterMs: () => 20,
    reconnectAfterMs: () => 20,
    timeout: 5000,
  };
  if (vsn.startsWith("1.")) {
    options.encode = (message, callback) => callback(JSON.stringify(message));
    options.decode = (raw, callback) => callback(JSON.parse(raw));
  }
  const socket = new Socket(endpoint, options);
  const seen = { heartbeats: 0, opens: 0, closes: [], frames: [] };
  socket.onMessage((message) => {
    if (message.topic !== "phoenix") {
      const { topic, event, ref, join_ref: joinRef, payload } = message;
      seen.frames.push({ topic, event, ref: ref ?? null, join_ref: joinRef ?? null, status: payload.status ?? null });
    }
    if (message.topic === "phoenix" && message.event === "phx_reply" && message.payload.status === "ok") {
      seen.heartbeats += 1;
    }
    changed();
  });
  socket.onOpen(() => { seen.opens += 1; changed(); });
  socket.onClose((event) => { seen.closes.push(event.code); changed(); });
  socket.connect();
  return { socket, seen };
}

function openChannel(socket, topic) {
  const channel = socket.channel(topic, {});
  const state = { channel, joins: 0, errors: 0, closes: 0, replies: [], pushes: [], onJoin: null };
  channel.joinPush.receive("ok", (response) => {
    state.joins += 1;
    state.replies.push(response);
    if (state.onJoin) state.onJoin();
    changed();
  });
  channel.joinPush.receive("error", (response) => fail(new Error(`join of ${topic} refused: ${JSON.stringify(response)}`)));
  channel.onError(() => { state.errors += 1; changed(); });
  channel.onClose(() => { state.closes += 1; changed(); });
  // Sees every event with the join_ref it came with on the wire (none in version 1).
  channel.onMessage = (event, payload, ref, joinRef) => {
    if (event === "message_created") {
      state.pushes.push({ payload, ref: ref ?? null, joinRef: joinRef ?? null });
      changed();
    }
    return payload;
  };
  channel.join();
  return state;
}

// A push and its answer: {status, response} for "ok", "error" or "timeout".
function push(channel, event, payload) {
  return new Promise((resolve) => {
    channel.push(event, payload)
      .receive("ok", (response) => resolve({ status: "ok", response }))
      .receive("error", (response) => resolve({ status: "error", response }))
      .receive("timeout", () => resolve({ status: "timeout", response: null }));
  });
}

function messages(state, content) {
  return state.pushes.filter((m) => m.payload.content === content);
}

// -- joins ---------------------------------------------------------------------------
const first = openSocket();
const channels = Object.fromEntries(TOPICS.map((topic) => [topic, openChannel(first.socket, topic)]));
for (const [topic, state] of Object.entries(channels)) {
  await until(`the join of ${topic}`, () => state.joins === 1);
}
const joinRefs = () => Object.fromEntries(TOPICS.map((t) => [t, channels[t].channel.joinRef()]));
await report("joined", {
  replies: Object.fromEntries(TOPICS.map((t) => [t, channels[t].replies[0]])),
  join_refs: joinRefs(),
});

// -- heartbeats and a pushed message (published by the test) -----------------------------
const chat = channels[CHAT];
await until("two heartbeat replies", () => first.seen.heartbeats >= 2);
await until("the published message", () => messages(chat, "hello").length === 1);
const hello = messages(chat, "hello")[0];
await report("heard", {
  heartbeats: first.seen.heartbeats,
  message: hello.payload,
  wire_join_ref: hello.joinRef,
  wire_ref: hello.ref,
});

// -- pushes and their replies ------------------------------------------------------------------
const id = hello.payload.id;
const answers = {
  turn_started: await push(chat.channel, "turn_started", { message_id: id, attempt: 1 }),
  send_message: await push(chat.channel, "send_message", { content: "echo: hello", in_reply_to: id, client_ref: "c-1" }),
  mark_processed: await push(chat.channel, "mark_processed", { message_id: id, token: "t-1" }),
  no_such_event: await push(chat.channel, "no_such_event", {}),
};
// The next crash of the chat channel finds a push waiting: phoenix.js buffers it while
// the channel is errored and sends it once the channel is joined again.
const order = [];
let buffered = null;
chat.channel.onError(() => {
  if (buffered !== null) return;
  order.push(`error (channel ${chat.channel.state})`);
  buffered = push(chat.channel, "send_message", { content: "sent while errored", client_ref: "c-2" })
    .then((answer) => { order.push("buffered push answered"); changed(); return answer; });
});
chat.onJoin = () => order.push("rejoined");
const firstChatRef = chat.channel.joinRef();
await report("pushed", { answers });

// -- the test crashed the chat channel (and published a message meanwhile) ----------------
await until("the chat channel's rejoin", () => chat.errors === 1 && chat.joins === 2);
await until("the buffered push's answer", () => order.includes("buffered push answered"));
await until("the message published while the channel was down", () => messages(chat, "while down").length === 1);
const whileDown = messages(chat, "while down")[0];
await report("rejoined", {
  order,
  buffered: await buffered,
  old_join_ref: firstChatRef,
  join_ref: chat.channel.joinRef(),
  redelivered_join_ref: whileDown.joinRef,
  join_refs: joinRefs(),
});

// -- the test dropped the socket ---------------------------------------------------------------
await until("the reconnect", () => first.seen.opens === 2);
await until("every channel rejoined", () => TOPICS.every((t) => channels[t].joins === (t === CHAT ? 3 : 2)));
await until("the message published while disconnected", () => messages(chat, "while disconnected").length === 1);
await report("reconnected", {
  close_codes: first.seen.closes,
  join_refs: joinRefs(),
  states: Object.fromEntries(TOPICS.map((t) => [t, channels[t].channel.state])),
});

// -- a leave ------------------------------------------------------------------------------------
// phoenix.js closes the channel on its side at once; the platform's answer and its
// phx_close follow on the wire.
const PEOPLE = "room_participants:lobby";
const people = channels[PEOPLE];
const peopleJoinRef = people.channel.joinRef();
const leaveFrom = first.seen.frames.length;
const leavePush = people.channel.leave();
const wire = () => first.seen.frames.slice(leaveFrom).filter((f) => f.topic === PEOPLE);
await until("the leave's answer and phx_close", () => wire().length === 2);
await report("left", { state: people.channel.state, leave_ref: leavePush.ref, join_ref: peopleJoinRef, wire: wire() });

// -- the test closed the chat channel from the platform's side -----------------------------------
// phoenix.js gives a closed channel up for good; a new one is joined by hand.
await until("the chat channel's close", () => chat.closes === 1);
const closedState = chat.channel.state;
const chatAgain = openChannel(first.socket, CHAT);
await until("the chat channel joined by hand", () => chatAgain.joins === 1);
await report("closed", {
  state: closedState,
  errors: chat.errors,
  chat_channels: first.socket.channels.filter((c) => c.topic === CHAT).length,
  join_ref: chatAgain.channel.joinRef(),
});

// -- a second socket of the agent supersedes the first --------------------------------------------
const control = channels[`agent_control:${AGENT}`];
const notices = [];
control.channel.on("supersede", (payload) => { notices.push(payload); changed(); });
const second = openSocket();
const secondChat = openChannel(second.socket, CHAT);
await until("the second socket's join", () => secondChat.joins === 1);
await until("the first socket's close", () => first.seen.closes.length === 2);
const answer = await push(secondChat.channel, "no_such_event", {});
await report("superseded", {
  notices,
  close_codes: first.seen.closes,
  second_join_ref: secondChat.channel.joinRef(),
  second_answer: answer,
});

second.socket.disconnect(() => {
  console.log(JSON.stringify({ step: "done" }));
  process.exit(0);
});
