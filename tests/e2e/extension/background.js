// The test extension. It greets the Quillbeam host and answers every message the host
// sends with a state report whose session names that message: the id counts and names it
// ("received-2-start") and the goal holds the message as JSON. A test reads the outcome
// from the host's link file without any channel of its own into the browser.
//
// run.json beside this file (written per run, optional) adjusts the conversation:
//   {"disconnectOn": "<message type>"}  close the port when a message of this type
//                                       arrives, instead of reporting it.

const hostName = "com.quillbeam.companion";

// Fixed fields of every reported session, so the test can compare all of them.
const sessionTemplate = {
  mode: "goal",
  strictness: "lockdown",
  startedAt: 1700000000000,
  endsAt: 1700003600000,
  milestonesTotal: 5,
  anchors: ["docs.example.org", "notes.example.org"],
  anchorUrl: "https://docs.example.org/",
  sideQuestDoubt: "Is this on the way?",
};

async function runSettings() {
  try {
    const response = await fetch(chrome.runtime.getURL("run.json"));
    return response.ok ? await response.json() : {};
  } catch (error) {
    return {};
  }
}

async function converse() {
  const settings = await runSettings();
  const port = chrome.runtime.connectNative(hostName);
  let received = 0;

  port.onMessage.addListener((message) => {
    if (settings.disconnectOn && message.type === settings.disconnectOn) {
      port.disconnect();
      return;
    }
    received += 1;
    port.postMessage({
      type: "state",
      sentAt: Date.now(),
      session: {
        id: `received-${received}-${message.type}`,
        goal: JSON.stringify(message),
        ...sessionTemplate,
        milestonesDone: received,
      },
    });
  });
  port.onDisconnect.addListener(() => {
    console.log("quillbeam test extension: port closed", chrome.runtime.lastError?.message);
  });

  port.postMessage({
    type: "hello",
    protocol: 1,
    extensionVersion: chrome.runtime.getManifest().version,
  });
}

converse();
