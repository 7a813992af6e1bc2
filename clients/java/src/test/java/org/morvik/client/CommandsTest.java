package org.morvik.client;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** Every command through the typed methods against the native morvik on the demo machine. */
class CommandsTest {
  static final String BUDGET = "C:\\data\\finance\\budget.xlsx";
  static final String SHARE = "\\\\fs01\\docs";

  interface Call {
    Object run(MorvikCommands c) throws Exception;
  }

  /** A failure as the error record gives it. */
  record Failed(int result, String context, String call, long number, String text) {}

  static MorvikClient demo;

  @BeforeAll
  static void start() throws MorvikException {
    demo = MorvikClient.start(Servers.demo());
  }

  @AfterAll
  static void stop() {
    demo.close();
  }

  static char[] pw(String s) {
    return s.toCharArray();
  }

  static Stream<Arguments> answers() {
    final Object done = "done";
    return Stream.of(
        Arguments.of("1 valid", (Call) c -> { c.validate("alice", pw("Secret1!"), "CORP"); return done; }, done),
        Arguments.of("1 without a domain", (Call) c -> { c.validate("alice", pw("Secret1!"), null); return done; }, done),
        Arguments.of("1 wrong password", (Call) c -> { c.validate("alice", pw("wrong"), "CORP"); return done; },
            new Failed(0, "WinSecurity::logOnVelUser", "LogonUser", 1326, "The user name or password is incorrect.\r\n")),
        Arguments.of("1 refused account", (Call) c -> { c.validate("carol", pw("pw"), "CORP"); return done; },
            new Failed(0, "WinSecurity::logOnVelUser", "LogonUser", 1331, "This user can't sign in because this account is currently disabled.\r\n")),
        Arguments.of("2 groups", (Call) c -> c.groups("alice", pw("Secret1!"), "CORP"),
            List.of("CORP\\Domain Users", "CORP\\Finance", "Everyone", "BUILTIN\\Users", "NT AUTHORITY\\Authenticated Users")),
        Arguments.of("2 wrong domain", (Call) c -> c.groups("alice", pw("Secret1!"), "NOPE"),
            new Failed(0, "WinSecurity::logOnVelUser", "LogonUser", 1326, "The user name or password is incorrect.\r\n")),
        Arguments.of("3 wrong password", (Call) c -> { c.connect("alice", pw("bad"), SHARE); return done; },
            new Failed(0, "NetConnection::connect", "WNetAddConnection2", 1326, "The user name or password is incorrect.\r\n")),
        Arguments.of("4 access list", (Call) c -> c.accessList(BUDGET),
            List.of("CORP\\bob", "NT AUTHORITY\\SYSTEM", "CORP\\Finance", "NT AUTHORITY\\Authenticated Users")),
        Arguments.of("4 missing file", (Call) c -> c.accessList("C:\\nope"),
            new Failed(0, "WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 2, "The system cannot find the file specified.\r\n")),
        Arguments.of("5 yes", (Call) c -> c.canRead("alice", pw("Secret1!"), BUDGET), true),
        Arguments.of("5 no", (Call) c -> c.canRead("bob", pw("Hunter2?"), BUDGET), false),
        Arguments.of("5 missing file", (Call) c -> c.canRead("bob", pw("Hunter2?"), "C:\\nope"),
            new Failed(0, "WinSecurity::checkURI", "GetFileSecurity", 2, "The system cannot find the file specified.\r\n")),
        Arguments.of("5 wrong password", (Call) c -> c.canRead("bob", pw("nope"), BUDGET),
            new Failed(0, "WinSecurity::logOnVelUser", "LogonUser", 1326, "The user name or password is incorrect.\r\n")),
        Arguments.of("6 NTFS", (Call) c -> c.isNtfs("C:\\"), true),
        Arguments.of("6 FAT32", (Call) c -> c.isNtfs("E:\\"), false),
        Arguments.of("6 not ready", (Call) c -> c.isNtfs("D:\\"),
            new Failed(0, "WinSecurity::isNTFS", "GetVolumeInformation", 21, "The device is not ready.\r\n")),
        Arguments.of("7 name", (Call) MorvikCommands::computerName, "FILESRV01"),
        Arguments.of("8 domain", (Call) MorvikCommands::domainName, Optional.of("CORP")),
        Arguments.of("9 not connected", (Call) c -> { c.disconnect("\\\\fs01\\other"); return done; },
            new Failed(0, "NetConnection::disconnect", "WNetCancelConnection2W", 2250, "This network connection does not exist.\r\n")),
        Arguments.of("10 mapped", (Call) c -> c.isMappedDrive("Z:\\"), true),
        Arguments.of("10 not mapped", (Call) c -> c.isMappedDrive("C:\\"), false));
  }

  static void check(MorvikCommands client, Call call, Object expected) throws Exception {
    if (expected instanceof Failed f) {
      final CommandFailedException e = assertThrows(CommandFailedException.class, () -> call.run(client));
      assertEquals(f, new Failed(e.result(), e.error().context(), e.error().call(), e.error().number(), e.error().text()));
    } else {
      assertEquals(expected, call.run(client));
    }
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("answers")
  void answersAndFailuresNeverLookAlike(String name, Call call, Object expected) throws Exception {
    check(demo, call, expected);
    assertTrue(demo.isOpen(), "a command's answer leaves the server serving");
  }

  @Test
  void connectThenDisconnect() throws Exception {
    demo.connect("alice", pw("Secret1!"), SHARE);
    demo.disconnect(SHARE);
    final CommandFailedException again = assertThrows(CommandFailedException.class, () -> demo.disconnect(SHARE));
    assertEquals(2250, again.error().number());
  }

  static Stream<Arguments> otherMachines() {
    final Map<String, Object> wkstaFails = Map.of("faults", List.of(Map.of("call", "NetWkstaGetInfo", "error", 5L)));
    final Failed denied = new Failed(-1, "WinSecurity::getMachineInfo", "NetWkstaGetInfo()", 5, "Access is denied.\r\n");
    return Stream.of(
        Arguments.of("7 fails", wkstaFails, (Call) MorvikCommands::computerName, denied),
        Arguments.of("8 fails", wkstaFails, (Call) MorvikCommands::domainName, denied),
        Arguments.of("8 workgroup", Map.of("workgroup", "HOMENET", "domain", Map.of()),
            (Call) MorvikCommands::domainName, Optional.empty()));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("otherMachines")
  void machineIdentityFailures(String name, Map<String, Object> keys, Call call, Object expected) throws Exception {
    final Map<String, Object> machine = new java.util.LinkedHashMap<>(keys);
    ServerCommand server;
    if (machine.remove("domain") != null) {
      // A workgroup machine cannot keep the demo's domain: write it from scratch.
      server = Servers.onMachine(Servers.writeMachine(machine));
    } else {
      server = Servers.demoWith(machine);
    }
    try (MorvikClient c = MorvikClient.start(server)) {
      check(c, call, expected);
    }
  }

  @Test
  void rawRequestsKeepTheReplyAsItCame() throws Exception {
    final Reply yes = demo.request(6, Map.of("filepath", "C:\\"));
    assertEquals(1, yes.result());
    assertTrue(yes.strings().isEmpty());
    assertTrue(yes.error().isEmpty());

    final Reply no = demo.request(6, Map.of("filepath", "E:\\"));
    assertEquals(0, no.result());
    assertTrue(no.error().isEmpty(), "a \"no\" carries no record");

    final Reply failed = demo.request(6, Map.of("filepath", "D:\\"));
    assertEquals(0, failed.result());
    assertEquals(21, failed.error().orElseThrow().number());
    assertEquals("WinSecurity::isNTFS", new String(failed.stringBytes().get(0), java.nio.charset.StandardCharsets.UTF_8));

    final Reply name = demo.request(Request.of(7));
    assertEquals(List.of("FILESRV01"), name.strings());
  }

  @Test
  void commandsOutsideOneToTenAreRefusedBeforeSending() throws Exception {
    for (int command : new int[] {0, 11, 42, -1}) {
      assertThrows(IllegalArgumentException.class, () -> demo.request(command, Map.of()));
    }
    assertEquals("FILESRV01", demo.computerName(), "nothing was sent that would shift the replies");
  }

  @Test
  void pipelinedRepliesComeBackInRequestOrder() throws Exception {
    final List<Request> batch = new java.util.ArrayList<>();
    final List<Integer> expected = new java.util.ArrayList<>();
    for (int i = 0; i < 300; ++i) {
      final String root = i % 3 == 0 ? "C:\\" : i % 3 == 1 ? "E:\\" : "D:\\";
      batch.add(Request.of(6).param("filepath", root));
      expected.add(i % 3 == 0 ? 1 : 0);
    }
    final List<Reply> replies = demo.pipeline(batch);
    assertEquals(expected, replies.stream().map(Reply::result).toList());
    for (int i = 2; i < replies.size(); i += 3) assertEquals(21, replies.get(i).error().orElseThrow().number());
  }

  @Test
  void passwordsAreZeroedAndNeverShown() throws Exception {
    final char[] password = pw("wrong-Zq8#x");
    final CommandFailedException e =
        assertThrows(CommandFailedException.class, () -> demo.validate("alice", password, "CORP"));
    assertTrue(new String(password).chars().allMatch(c -> c == 0), "the caller's array is zeroed");
    assertFalse(e.toString().contains("Zq8"));

    final char[] another = pw("Secret1!");
    final Request r = Request.of(1).param("user", "alice").secret("password", another);
    assertTrue(new String(another).chars().allMatch(c -> c == 0), "zeroed once encoded");
    assertEquals("Request(command 1, keys [user, password])", r.toString());
    assertEquals(Reply.class, demo.request(r).getClass());
    assertThrows(IllegalStateException.class, () -> demo.request(r), "a request with a password is sent once");

    final char[] unused = pw("Secret1!");
    assertThrows(NullPointerException.class, () -> demo.validate(null, unused, "CORP"));
    assertTrue(new String(unused).chars().allMatch(c -> c == 0), "zeroed even when the call is refused");
  }

  @Test
  @SuppressWarnings("unchecked")
  void pathsOfCommand5AreReadInTheAnsiCodePage() throws Exception {
    final Map<String, Object> demoMachine = (Map<String, Object>) Json.parse(
        java.nio.file.Files.readString(Servers.demoMachine(), java.nio.charset.StandardCharsets.UTF_8));
    final String cafe = "C:\\data\\caf\u00e9.txt";
    final List<Object> files = new java.util.ArrayList<>((List<Object>) demoMachine.get("files"));
    files.add(Map.of("path", cafe, "owner", "S-1-5-32-544", "group", "S-1-5-32-544",
        "dacl", List.of(Map.of("type", "allow", "sid", "S-1-1-0", "mask", "0x1200a9"))));
    try (MorvikClient c = MorvikClient.start(Servers.demoWith(Map.of("files", files)))) {
      assertEquals(List.of("Everyone"), c.accessList(cafe), "command 4 reads UTF-8");
      final Reply ansi = c.request(Request.of(5).param("user", "alice").secret("password", pw("Secret1!"))
          .param("filepath", cafe.getBytes(java.nio.charset.Charset.forName("windows-1252"))));
      assertEquals(1, ansi.result());
      final CommandFailedException utf8 =
          assertThrows(CommandFailedException.class, () -> c.canRead("alice", pw("Secret1!"), cafe));
      assertEquals(2, utf8.error().number(), "the UTF-8 bytes name no file in the ANSI code page");
    }
  }

  @Test
  @SuppressWarnings("unchecked")
  void passwordsOutsideAsciiGoOutAsUtf8() throws Exception {
    final Map<String, Object> demoMachine = (Map<String, Object>) Json.parse(
        java.nio.file.Files.readString(Servers.demoMachine(), java.nio.charset.StandardCharsets.UTF_8));
    final List<Object> accounts = new java.util.ArrayList<>((List<Object>) demoMachine.get("accounts"));
    final String password = "P\u00e4ssw\u00f6rd\u20ac\ud83d\udd11";  // two, three and four UTF-8 bytes
    accounts.add(Map.of("name", "dora", "domain", "CORP", "sid", "S-1-5-21-1004336348-1177238915-682003330-1107",
        "password", password));
    try (MorvikClient c = MorvikClient.start(Servers.demoWith(Map.of("accounts", accounts)))) {
      c.validate("dora", password.toCharArray(), "CORP");
      assertThrows(CommandFailedException.class, () -> c.validate("dora", "Passwords".toCharArray(), "CORP"));
    }
  }

  /** Replies that are well-formed but not what the command gives: reported, never guessed at. */
  static Stream<Arguments> repliesNoCommandGives() {
    final byte[] x = "x".getBytes(java.nio.charset.StandardCharsets.UTF_8);
    return Stream.of(
        Arguments.of("1 yes with strings", (Call) c -> { c.validate("u", pw("p"), null); return null; }, 1, List.of(x)),
        Arguments.of("1 zero without a record", (Call) c -> { c.validate("u", pw("p"), null); return null; }, 0, List.of()),
        Arguments.of("6 zero with two strings", (Call) c -> c.isNtfs("C:\\"), 0, List.of(x, x)),
        Arguments.of("6 result 7", (Call) c -> c.isNtfs("C:\\"), 7, List.of()),
        Arguments.of("7 two names", (Call) MorvikCommands::computerName, 1, List.of(x, x)),
        Arguments.of("7 zero without a record", (Call) MorvikCommands::computerName, 0, List.of()),
        Arguments.of("8 record with a non-number", (Call) MorvikCommands::domainName, -1, List.of(x, x, x)));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("repliesNoCommandGives")
  void repliesACommandNeverGivesAreNotAnswers(String name, Call call, int result, List<byte[]> strings) {
    final MorvikCommands canned = request -> new Reply(result, 2, 1, strings);
    final MorvikException e = assertThrows(MorvikException.class, () -> call.run(canned));
    assertTrue(e.getMessage().contains("reply it does not give"), e.getMessage());
  }
}
