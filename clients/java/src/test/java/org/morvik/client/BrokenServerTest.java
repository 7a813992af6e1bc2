package org.morvik.client;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Servers that break the protocol: each gives a clear MorvikException, never a hang, and the
 * client stops the server. The stand-ins read the 36-byte command-7 request, then misbehave.
 */
@Timeout(60)  // a hang guard for the whole class, not a measure of anything
class BrokenServerTest {
  static final String READ_REQUEST = "head -c 36 >/dev/null; ";
  static final Duration SHORT = Duration.ofMillis(400);

  static Stream<Arguments> brokenReplies() {
    final byte[] ok = Servers.replyHeader(1, 0);
    return Stream.of(
        Arguments.of("exits before replying", "exit 3", "the server exited"),
        Arguments.of("garbage", "printf 'this is not a reply, only some text to read'", "malformed reply: message type"),
        Arguments.of("stops inside the header", Servers.printf(new byte[10]), "inside a reply header (10 of 32 bytes)"),
        Arguments.of("stops inside the body",
            Servers.printf(Servers.concat(Servers.replyHeader(1, 17), Servers.le(1, 9))), "inside a reply body (8 of 17 bytes)"),
        Arguments.of("negative body length", Servers.printf(Servers.replyHeader(1, -4)), "announces a body of -4 bytes"),
        Arguments.of("huge body length", Servers.printf(Servers.replyHeader(1, 0x7fffffff)), "announces a body of 2147483647"),
        Arguments.of("body shorter than its count", Servers.printf(Servers.concat(Servers.replyHeader(1, 2), new byte[2])),
            "has no count"),
        Arguments.of("count past the strings",
            Servers.printf(Servers.concat(Servers.replyHeader(1, 8), Servers.le(2, 0))), "ends inside string 1 of 2"),
        Arguments.of("string past the body",
            Servers.printf(Servers.concat(Servers.replyHeader(1, 8), Servers.le(1, 100))), "runs past the body"),
        Arguments.of("negative count",
            Servers.printf(Servers.concat(Servers.replyHeader(1, 4), Servers.le(-1))), "string count of -1"),
        Arguments.of("bytes after the strings",
            Servers.printf(Servers.concat(Servers.replyHeader(1, 9), Servers.le(0), new byte[5])), "5 bytes after the last"),
        Arguments.of("ids not swapped",
            Servers.printf(Servers.concat(Servers.le(2, 1, 1, 0, 1, 2), new byte[8])), "not the request's swapped"),
        Arguments.of("a message type other than a reply",
            Servers.printf(Servers.concat(Servers.le(1, 1, 1, 0, 2, 1), new byte[8])), "message type 1 and command 1"),
        Arguments.of("stops inside a reply and hangs", Servers.printf(ok).substring(0, 40) + "'; exec sleep 30",
            "no reply within 400 ms"),
        Arguments.of("never replies", "exec sleep 30", "no reply within 400 ms"),
        // Killing the shell leaves its child holding the reply pipe open: no end of file ever comes.
        Arguments.of("never replies, the pipe held by a grandchild", "sleep 5", "no reply within 400 ms"));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("brokenReplies")
  void aBrokenReplyIsAClearErrorAndStopsTheServer(String name, String script, String message) throws Exception {
    try (MorvikClient c = MorvikClient.start(Servers.shell(READ_REQUEST + script, SHORT))) {
      final MorvikException e = assertThrows(MorvikException.class, c::computerName);
      assertTrue(e.getMessage().contains(message), e.getMessage());
      assertFalse(c.isOpen());
      assertTrue(ProcessHandle.of(c.pid()).map(p -> !p.isAlive()).orElse(true), "the server was stopped");
      final MorvikException after = assertThrows(MorvikException.class, c::computerName);
      assertTrue(after.getMessage().contains("no longer serves"), after.getMessage());
    }
  }

  @Test
  void aReplyNoRequestAskedForIsCaughtAtTheNextRequest() throws Exception {
    final byte[] reply = Servers.concat(Servers.replyHeader(1, 13), Servers.le(1, 5), "HOST1".getBytes());
    try (MorvikClient c = MorvikClient.start(Servers.shell(
        READ_REQUEST + Servers.printf(reply) + "; sleep 0.1; " + Servers.printf(reply) + "; exec sleep 30", SHORT))) {
      assertEquals("HOST1", c.computerName());
      Thread.sleep(400);  // the second reply has long arrived
      final MorvikException e = assertThrows(MorvikException.class, c::computerName);
      assertTrue(e.getMessage().contains("no request asked for"), e.getMessage());
    }
  }

  @Test
  void aProgramThatCannotRunIsAStartFailure() {
    final MorvikException e = assertThrows(MorvikException.class,
        () -> MorvikClient.start(ServerCommand.of("/nonexistent/morvik")));
    assertTrue(e.getMessage().contains("could not start the server /nonexistent/morvik"), e.getMessage());
  }

  @Test
  void aBadMachineFileShowsTheServersExitAndItsMessage() throws Exception {
    final ServerCommand server = Servers.onMachine(Servers.writeMachine(Map.of("computerName", 5L)));
    try (MorvikClient c = MorvikClient.start(server)) {
      final MorvikException e = assertThrows(MorvikException.class, c::computerName);
      assertTrue(e.getMessage().contains("exit status 2"), e.getMessage());
      assertTrue(e.getMessage().contains("winsim: "), e.getMessage());
    }
  }

  @Test
  void aSlowLogonTimesOutAndTheChildIsKilled() throws Exception {
    final ServerCommand server = Servers.demoWith(Map.of("delays", Map.of("LogonUserW", 5000L))).withTimeout(SHORT);
    try (MorvikClient c = MorvikClient.start(server)) {
      assertTrue(c.isNtfs("C:\\"), "what does not log on answers at once");
      final MorvikException e =
          assertThrows(MorvikException.class, () -> c.validate("alice", "Secret1!".toCharArray(), "CORP"));
      assertTrue(e.getMessage().contains("no reply within 400 ms"), e.getMessage());
      assertFalse(e.getMessage().contains("Secret1!"));
      assertTrue(ProcessHandle.of(c.pid()).map(p -> !p.isAlive()).orElse(true), "the child was killed");
    }
  }

  @Test
  void aServerThatStopsReadingIsStoppedByTheWatchdog() throws Exception {
    // Never reads: the pipeline's megabyte cannot all be written, and no reply comes.
    try (MorvikClient c = MorvikClient.start(Servers.shell("exec sleep 30", SHORT))) {
      final List<Request> batch = new java.util.ArrayList<>();
      for (int i = 0; i < 40000; ++i) batch.add(Request.of(6).param("filepath", "C:\\"));
      final MorvikException e = assertThrows(MorvikException.class, () -> c.pipeline(batch));
      assertTrue(e.getMessage().contains("no reply within 400 ms"), e.getMessage());
    }
  }

  @Test
  void repliesToRequestsNeverReadAreNoAnswers() throws Exception {
    // Answers 40,000 requests without reading one: the batch's write can never finish.
    final String loop = "sleep 0.3; i=0; while [ $i -lt 40000 ]; do " + Servers.printf(Servers.replyHeader(1, 0))
        + "; i=$((i+1)); done; exec sleep 5";
    try (MorvikClient c = MorvikClient.start(Servers.shell(loop, Duration.ofSeconds(5)))) {
      final List<Request> batch = new java.util.ArrayList<>();
      for (int i = 0; i < 40000; ++i) batch.add(Request.of(6).param("filepath", "C:\\"));
      final MorvikException e = assertThrows(MorvikException.class, () -> c.pipeline(batch));
      assertTrue(e.getMessage().contains("replied to requests it had not read"), e.getMessage());
    }
  }
}
