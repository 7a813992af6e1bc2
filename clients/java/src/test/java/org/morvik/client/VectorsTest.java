package org.morvik.client;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The golden vectors of docs/protocol-vectors.json: the client encodes each vector's requests byte
 * for byte, decodes its replies to the strings below, and gets the same replies from the native
 * morvik on the vectors' machine.
 */
class VectorsTest {
  /** One message of a vector's session, as the client would build it. */
  record Message(int type, int command, int sender, int receiver, List<String> params) {
    static Message request(int command, String... params) {
      return new Message(1, command, 1, 2, List.of(params));
    }

    byte[] encode() {
      final List<byte[]> keys = new ArrayList<>();
      final List<byte[]> values = new ArrayList<>();
      for (int i = 0; i < params.size(); i += 2) {
        keys.add(params.get(i).getBytes(StandardCharsets.UTF_8));
        values.add(params.get(i + 1).getBytes(StandardCharsets.UTF_8));
      }
      return Wire.encodeRequest(type, command, sender, receiver, keys, values);
    }

    /** A request the client's own API sends (the others are built with the wire's encoder only). */
    boolean ordinary() {
      return type == 1 && command >= 1 && command <= 10 && sender == 1 && receiver == 2;
    }
  }

  record Expected(int result, List<String> strings) {}

  record Vector(List<Message> messages, List<Expected> replies) {}

  static final Map<String, Vector> VECTORS = new LinkedHashMap<>();

  static {
    final Expected yes = new Expected(1, List.of());
    final Expected no = new Expected(0, List.of());
    final Message ntfsC = Message.request(6, "filepath", "C:\\");
    VECTORS.put("validate-user", new Vector(
        List.of(Message.request(1, "user", "alice", "password", "Secret1!", "domain", "CORP")), List.of(yes)));
    VECTORS.put("validate-user-wrong-password", new Vector(
        List.of(Message.request(1, "user", "alice", "password", "wrong")),
        List.of(new Expected(0, List.of("WinSecurity::logOnVelUser", "LogonUser", "1326",
            "The user name or password is incorrect.\r\n")))));
    VECTORS.put("group-list", new Vector(
        List.of(Message.request(2, "user", "alice", "password", "Secret1!", "domain", "CORP")),
        List.of(new Expected(1, List.of("CORP\\Domain Users", "CORP\\Finance", "Everyone", "BUILTIN\\Users",
            "NT AUTHORITY\\Authenticated Users")))));
    VECTORS.put("connect-then-disconnect", new Vector(
        List.of(Message.request(3, "user", "alice", "password", "Secret1!", "filepath", "\\\\fs01\\docs"),
            Message.request(9, "filepath", "\\\\fs01\\docs")),
        List.of(yes, yes)));
    VECTORS.put("access-list", new Vector(
        List.of(Message.request(4, "filepath", "C:\\data\\finance\\budget.xlsx")),
        List.of(new Expected(1, List.of("CORP\\bob", "NT AUTHORITY\\SYSTEM", "CORP\\Finance",
            "NT AUTHORITY\\Authenticated Users")))));
    VECTORS.put("access-check-allowed", new Vector(
        List.of(Message.request(5, "user", "alice", "password", "Secret1!", "filepath", "C:\\data\\finance\\budget.xlsx")),
        List.of(yes)));
    VECTORS.put("access-check-denied", new Vector(
        List.of(Message.request(5, "user", "bob", "password", "Hunter2?", "filepath", "C:\\data\\finance\\budget.xlsx")),
        List.of(no)));
    VECTORS.put("access-check-missing-file", new Vector(
        List.of(Message.request(5, "user", "bob", "password", "Hunter2?", "filepath", "C:\\data\\finance\\missing.xlsx")),
        List.of(new Expected(0, List.of("WinSecurity::checkURI", "GetFileSecurity", "2",
            "The system cannot find the file specified.\r\n")))));
    VECTORS.put("is-ntfs-c", new Vector(List.of(ntfsC), List.of(yes)));
    VECTORS.put("is-ntfs-fat", new Vector(List.of(Message.request(6, "filepath", "E:\\")), List.of(no)));
    VECTORS.put("is-ntfs-not-ready", new Vector(List.of(Message.request(6, "filepath", "D:\\")),
        List.of(new Expected(0, List.of("WinSecurity::isNTFS", "GetVolumeInformation", "21", "The device is not ready.\r\n")))));
    VECTORS.put("computer-name", new Vector(List.of(Message.request(7)), List.of(new Expected(1, List.of("FILESRV01")))));
    VECTORS.put("domain-name", new Vector(List.of(Message.request(8)), List.of(new Expected(1, List.of("CORP")))));
    VECTORS.put("disconnect-not-connected", new Vector(List.of(Message.request(9, "filepath", "\\\\fs01\\docs")),
        List.of(new Expected(0, List.of("NetConnection::disconnect", "WNetCancelConnection2W", "2250",
            "This network connection does not exist.\r\n")))));
    VECTORS.put("is-mapped", new Vector(List.of(Message.request(10, "filepath", "Z:\\")), List.of(yes)));
    VECTORS.put("ids-swapped", new Vector(List.of(new Message(2, 10, 5, 9, List.of("filepath", "C:\\"))), List.of(no)));
    VECTORS.put("unknown-then-served", new Vector(
        List.of(Message.request(42, "filepath", "C:\\"), ntfsC), List.of(yes)));
    VECTORS.put("terminate", new Vector(
        List.of(ntfsC, new Message(3, 6, 1, 2, List.of()), Message.request(7)), List.of(yes)));
  }

  static Map<String, Object> file;
  static MorvikClient live;

  @BeforeAll
  @SuppressWarnings("unchecked")
  static void load() throws IOException, MorvikException {
    file = (Map<String, Object>) Json.parse(
        Files.readString(Servers.root().resolve("docs/protocol-vectors.json"), StandardCharsets.UTF_8));
    live = MorvikClient.start(Servers.onMachine(Servers.writeMachine(file.get("machine"))));
  }

  @AfterAll
  static void stop() {
    live.close();
  }

  @SuppressWarnings("unchecked")
  static List<Map<String, Object>> vectors() {
    return (List<Map<String, Object>>) file.get("vectors");
  }

  @Test
  void everyVectorHasACase() {
    assertEquals(VECTORS.keySet().stream().sorted().toList(),
        vectors().stream().map(v -> (String) v.get("name")).sorted().toList());
  }

  static Stream<Arguments> cases() throws IOException, MorvikException {
    if (file == null) load();
    return vectors().stream().map(v -> Arguments.of(v.get("name"), v.get("request"), v.get("reply")));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("cases")
  void encodedAndDecodedAsTheVectorHasIt(String name, String requestHex, String replyHex) throws Exception {
    final Vector vector = VECTORS.get(name);
    byte[] encoded = new byte[0];
    for (Message m : vector.messages()) encoded = Servers.concat(encoded, m.encode());
    assertEquals(requestHex, hex(encoded));

    final byte[] replyBytes = Servers.unhex(replyHex);
    final List<Reply> decoded = new ArrayList<>();
    for (int at = 0; at < replyBytes.length;) {
      final byte[] header = Arrays.copyOfRange(replyBytes, at, at + Wire.HEADER);
      final int length = Wire.replyBodyLength(header);
      decoded.add(Wire.decodeReply(header, Arrays.copyOfRange(replyBytes, at + Wire.HEADER, at + Wire.HEADER + length)));
      at += Wire.HEADER + length;
    }
    assertEquals(vector.replies(), decoded.stream().map(r -> new Expected(r.result(), r.strings())).toList());

    // What the client's own API sends, the live server answers as the vector says.
    if (vector.messages().stream().allMatch(Message::ordinary)) {
      final List<Request> requests = new ArrayList<>();
      for (Message m : vector.messages()) {
        final Request r = Request.of(m.command());
        for (int i = 0; i < m.params().size(); i += 2) r.param(m.params().get(i), m.params().get(i + 1));
        requests.add(r);
      }
      final List<Reply> replies = requests.size() == 1 ? List.of(live.request(requests.get(0))) : live.pipeline(requests);
      assertEquals(vector.replies(), replies.stream().map(r -> new Expected(r.result(), r.strings())).toList());
    }
  }

  interface Typed {
    void call(MorvikCommands c) throws Exception;
  }

  static Stream<Arguments> typed() {
    return Stream.of(
        Arguments.of("validate-user", (Typed) c -> c.validate("alice", "Secret1!".toCharArray(), "CORP")),
        Arguments.of("validate-user-wrong-password", (Typed) c -> c.validate("alice", "wrong".toCharArray(), null)),
        Arguments.of("group-list", (Typed) c -> c.groups("alice", "Secret1!".toCharArray(), "CORP")),
        Arguments.of("access-list", (Typed) c -> c.accessList("C:\\data\\finance\\budget.xlsx")),
        Arguments.of("access-check-denied", (Typed) c -> c.canRead("bob", "Hunter2?".toCharArray(), "C:\\data\\finance\\budget.xlsx")),
        Arguments.of("is-ntfs-c", (Typed) c -> c.isNtfs("C:\\")),
        Arguments.of("computer-name", (Typed) MorvikCommands::computerName),
        Arguments.of("domain-name", (Typed) MorvikCommands::domainName),
        Arguments.of("disconnect-not-connected", (Typed) c -> c.disconnect("\\\\fs01\\docs")),
        Arguments.of("is-mapped", (Typed) c -> c.isMappedDrive("Z:\\")));
  }

  /** The typed methods build their requests in the vectors' key order, byte for byte. */
  @ParameterizedTest(name = "{0}")
  @MethodSource("typed")
  void typedMethodsSendTheVectorsBytes(String name, Typed call) throws Exception {
    final List<byte[]> sent = new ArrayList<>();
    final byte[] reply = Servers.unhex((String) find(name).get("reply"));
    final MorvikCommands capture = r -> {
      sent.add(r.encode());
      return Wire.decodeReply(Arrays.copyOf(reply, Wire.HEADER), Arrays.copyOfRange(reply, Wire.HEADER, reply.length));
    };
    try {
      call.call(capture);
    } catch (CommandFailedException expected) {
      // The vectors' failures are answers too; the bytes sent are what is checked here.
    }
    assertEquals(1, sent.size());
    assertEquals(find(name).get("request"), hex(sent.get(0)));
  }

  static Map<String, Object> find(String name) {
    return vectors().stream().filter(v -> name.equals(v.get("name"))).findFirst().orElseThrow();
  }

  static String hex(byte[] b) {
    final StringBuilder sb = new StringBuilder();
    for (byte x : b) sb.append(String.format("%02x", x & 0xFF));
    return sb.toString();
  }
}
