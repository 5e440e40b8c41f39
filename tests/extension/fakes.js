// Stand-ins for chrome.runtime.Port: records what is posted to it and lets a test
// deliver messages from the other side or close it.
"use strict";

class FakePort {
  constructor(sender) {
    this.sender = sender;
    this.sent = [];
    this.closedByUs = false;
    this.gone = false;
    this.messageListeners = [];
    this.disconnectListeners = [];
    this.onMessage = { addListener: (fn) => this.messageListeners.push(fn) };
    this.onDisconnect = { addListener: (fn) => this.disconnectListeners.push(fn) };
  }
  postMessage(msg) {
    // The browser refuses posts on a closed port, as here.
    if (this.gone || this.closedByUs) throw new Error("Attempting to use a disconnected port object");
    // Messages cross the boundary as JSON.
    this.sent.push(JSON.parse(JSON.stringify(msg)));
  }
  disconnect() {
    this.closedByUs = true;
  }
  deliver(msg) {
    for (const fn of this.messageListeners) fn(msg);
  }
  drop() {
    this.gone = true;
    for (const fn of this.disconnectListeners) fn(this);
  }
  take() {
    const sent = this.sent;
    this.sent = [];
    return sent;
  }
}

module.exports = { FakePort };
