// Service worker: pages connect with chrome.runtime.connect(<this id>) (allowed by
// "externally_connectable"), and relay.js does the rest.
importScripts("relay.js");

const relay = new KestrixRelay.Relay({
  connectNative: () => chrome.runtime.connectNative(KestrixRelay.HOST_NAME),
  // Reading lastError inside onDisconnect also keeps the browser from logging it as unchecked.
  lastError: () => chrome.runtime.lastError && chrome.runtime.lastError.message,
});

chrome.runtime.onConnectExternal.addListener((port) => relay.attachPage(port));
