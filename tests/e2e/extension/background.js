// The test extension. It greets the Quillbeam host and answers each message the host sends
// with a state report whose session names that message: the id counts and names it
// ("received-2-start") and the goal holds it as JSON. On "open-quit" it closes its port
// instead. A test reads all of it from the host's link file.
const port = chrome.runtime.connectNative("com.quillbeam.companion");
let received = 0;

port.onMessage.addListener((message) => {
  if (message.type === "open-quit") return port.disconnect();
  port.postMessage({
    type: "state", sentAt: Date.now(),
    session: {
      id: `received-${++received}-${message.type}`, goal: JSON.stringify(message),
      mode: "goal", strictness: "lockdown", startedAt: 1700000000000, endsAt: 1700003600000,
      milestonesDone: received, milestonesTotal: 5,
      anchors: ["docs.example.org"], anchorUrl: "https://docs.example.org/",
    },
  });
});
port.postMessage({ type: "hello", protocol: 1, extensionVersion: chrome.runtime.getManifest().version });
