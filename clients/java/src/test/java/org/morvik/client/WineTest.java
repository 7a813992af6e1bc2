package org.morvik.client;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Locale;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

/**
 * morvik.exe under Wine through the client: Wine's own code answers. Run only when asked for
 * (-Dgroups=wine, as scripts/test does after the windows build, with a running prefix), and then a
 * missing Wine or morvik.exe is a failure, never a skip.
 */
@Tag("wine")
class WineTest {
  @Test
  void wineAnswersThroughTheClient() throws Exception {
    final String exe = System.getenv("MORVIK_EXE");
    final String wine = System.getenv().getOrDefault("MORVIK_WINE", "/usr/lib/wine/wine64");
    assertNotNull(exe, "MORVIK_EXE must name build/windows/bin/morvik.exe");
    assertNotNull(System.getenv("WINEPREFIX"), "WINEPREFIX must name a started prefix");
    assertTrue(Files.isRegularFile(Path.of(exe)), "no morvik.exe at " + exe);
    assertTrue(Files.isExecutable(Path.of(wine)), "no wine at " + wine);
    final String host = Files.readString(Path.of("/proc/sys/kernel/hostname")).strip();
    String expected = host.split("\\.")[0].toUpperCase(Locale.ROOT);
    if (expected.length() > 15) expected = expected.substring(0, 15);

    try (MorvikClient c = MorvikClient.start(ServerCommand.of(wine, exe))) {
      assertTrue(c.isNtfs("C:\\"));
      assertEquals(expected, c.computerName());
    }
  }
}
