package org.morvik.client;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Map;

/** The servers the tests talk to: the native morvik on a winsim machine, and shell stand-ins. */
final class Servers {
  private Servers() {}

  static Path root() {
    return Path.of(System.getProperty("morvik.root", "../..")).toAbsolutePath().normalize();
  }

  /** The native morvik; a test run without it fails rather than skips. */
  static Path morvik() {
    final Path p = Path.of(System.getProperty("morvik.server", root().resolve("build/native/bin/morvik").toString()));
    assertTrue(Files.isExecutable(p), "no native morvik at " + p + ": build it with cmake --build --preset native");
    return p;
  }

  static Path demoMachine() {
    return root().resolve("examples/demo-machine.json");
  }

  static ServerCommand onMachine(Path machine) {
    return ServerCommand.of(morvik().toString()).withEnvironment("WINSIM_MACHINE", machine.toString())
        .withTimeout(Duration.ofSeconds(10));
  }

  static ServerCommand demo() {
    return onMachine(demoMachine());
  }

  /** The demo machine with some top-level keys added or replaced, such as faults or delays. */
  @SuppressWarnings("unchecked")
  static ServerCommand demoWith(Map<String, Object> keys) {
    try {
      final Map<String, Object> machine =
          (Map<String, Object>) Json.parse(Files.readString(demoMachine(), StandardCharsets.UTF_8));
      machine.putAll(keys);
      return onMachine(writeMachine(machine));
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
  }

  static Path writeMachine(Object machine) {
    try {
      final Path file = Files.createTempFile("morvik-machine-", ".json");
      file.toFile().deleteOnExit();
      Files.writeString(file, Json.write(machine), StandardCharsets.UTF_8);
      return file;
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
  }

  /** A stand-in server: a shell script, with a short timeout. */
  static ServerCommand shell(String script, Duration timeout) {
    return ServerCommand.of("/bin/sh", "-c", script).withTimeout(timeout);
  }

  /** printf's octal escapes for these bytes, so a shell script can write any bytes. */
  static String printf(byte[] bytes) {
    final StringBuilder sb = new StringBuilder("printf '");
    for (byte b : bytes) sb.append(String.format("\\%03o", b & 0xFF));
    return sb.append("'").toString();
  }

  static byte[] le(int... values) {
    final byte[] out = new byte[values.length * 4];
    for (int i = 0; i < values.length; ++i) {
      for (int k = 0; k < 4; ++k) out[4 * i + k] = (byte) (values[i] >>> (8 * k));
    }
    return out;
  }

  static byte[] concat(byte[]... parts) {
    int n = 0;
    for (byte[] p : parts) n += p.length;
    final byte[] out = new byte[n];
    int at = 0;
    for (byte[] p : parts) {
      System.arraycopy(p, 0, out, at, p.length);
      at += p.length;
    }
    return out;
  }

  /** A reply header: type 2, command 1, the result and body length, ids swapped, reserved bytes. */
  static byte[] replyHeader(int result, int bodyLength) {
    return concat(le(2, 1, result, bodyLength, 2, 1), new byte[8]);
  }

  static byte[] unhex(String s) {
    final byte[] out = new byte[s.length() / 2];
    for (int i = 0; i < out.length; ++i) out[i] = (byte) Integer.parseInt(s.substring(2 * i, 2 * i + 2), 16);
    return out;
  }
}
