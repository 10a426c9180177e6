// A client written against web/velmor-client's declarations: `tsc --noEmit --strict` compiles
// it with them (JsClient.DeclarationsTypeCheck), so that a declaration that does not compile,
// or no longer says what a client relies on, fails.
import { VelmorClient, ClientEvent, decodeFrame, roomChat, loginProofOf, passwordHash } from "../../web/velmor-client/velmor-client.js";

const client = new VelmorClient({ maxQueued: 100 });
client.on("RoomLine", (e) => {
  const slot: number = e.slot;
  const text: string = e.text;
  console.log(client.members[slot]?.name, text);
});
client.on("RoomList", (e) => e.rooms.forEach((r) => console.log(r.name, r.members ?? "locked")));
client.on("MemberInfo", (e) => console.log(e.name, e.appearanceText ?? ""));
client.on("*", (e: ClientEvent) => console.log(e.type));
const stop: () => void = client.on("Disconnected", (e) => console.log(e.code, e.reason));
stop();

async function play(): Promise<void> {
  await client.connect("ws://127.0.0.1:7176/");
  const sent: boolean = client.loginMember("Ada", "secret") && client.enterRoom("Lobby", "");
  client.roomChat("hello");
  client.whisper("Ann", "psst");
  client.joinChannel("Hall", "");
  client.register("ada@example.org", "secret");
  for (let e = client.nextEvent(); e !== null; e = client.nextEvent()) {
    if (e.type === "PrivateMessageNotice") console.log(e.sender, e.text);
    if (e.type === "MemberStep") console.log(e.dx, e.dy, e.direction);
  }
  const { messages, error } = decodeFrame(roomChat("x").subarray(2));
  console.log(sent, messages.length, error, loginProofOf(passwordHash("secret"), "challenge"));
}
play();
