package org.morvik.client;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

@Timeout(120)  // a hang guard, not a measure
class PoolTest {
  /** A request whose answer tells it apart from the others of the mix, and that answer. */
  record Case(String name, CommandsTest.Call call, Object expected) {}

  static final String BUDGET = CommandsTest.BUDGET;
  static final List<Case> MIX = List.of(
      new Case("ntfs C", c -> c.isNtfs("C:\\"), true),
      new Case("ntfs E", c -> c.isNtfs("E:\\"), false),
      new Case("mapped Z", c -> c.isMappedDrive("Z:\\"), true),
      new Case("mapped C", c -> c.isMappedDrive("C:\\"), false),
      new Case("acl budget", c -> c.accessList(BUDGET),
          List.of("CORP\\bob", "NT AUTHORITY\\SYSTEM", "CORP\\Finance", "NT AUTHORITY\\Authenticated Users")),
      new Case("acl design", c -> c.accessList("C:\\data\\eng\\design.docx"),
          List.of("NT AUTHORITY\\SYSTEM", "CORP\\Engineering")),
      new Case("name", MorvikCommands::computerName, "FILESRV01"),
      new Case("domain", MorvikCommands::domainName, Optional.of("CORP")),
      new Case("alice reads", c -> c.canRead("alice", "Secret1!".toCharArray(), BUDGET), true),
      new Case("bob may not", c -> c.canRead("bob", "Hunter2?".toCharArray(), BUDGET), false),
      new Case("bob's groups", c -> c.groups("bob", "Hunter2?".toCharArray(), "CORP"),
          List.of("CORP\\Domain Users", "CORP\\Engineering", "Everyone", "BUILTIN\\Users", "NT AUTHORITY\\Authenticated Users")),
      new Case("not ready", c -> {
        try {
          return c.isNtfs("D:\\");
        } catch (CommandFailedException e) {
          return e.error().number();
        }
      }, 21L));

  @Test
  void manyThreadsGetEachTheirOwnReplies() throws Exception {
    final int threads = 8;
    final int each = 1000;
    try (MorvikPool pool = MorvikPool.start(Servers.demo(), 3)) {
      final ExecutorService executor = Executors.newFixedThreadPool(threads);
      final AtomicInteger answered = new AtomicInteger();
      final List<Future<List<String>>> results = new ArrayList<>();
      for (int t = 0; t < threads; ++t) {
        final int thread = t;
        results.add(executor.submit(() -> {
          final List<String> wrong = new ArrayList<>();
          for (int i = 0; i < each; ++i) {
            final Case c = MIX.get((thread * 7 + i * 5) % MIX.size());
            final Object got = c.call().run(pool);
            if (!c.expected().equals(got)) wrong.add(c.name() + " got " + got);
            answered.incrementAndGet();
          }
          return wrong;
        }));
      }
      for (Future<List<String>> f : results) assertEquals(List.of(), f.get(100, TimeUnit.SECONDS));
      executor.shutdown();
      assertEquals(threads * each, answered.get());
      assertEquals(0, pool.replacements());
    }
  }

  @Test
  void aChildKilledInTheMiddleIsReplacedAndThePoolCarriesOn() throws Exception {
    // Each logon takes a second, so both children are surely inside one when the first is killed.
    final ServerCommand slow = Servers.demoWith(Map.of("delays", Map.of("LogonUserW", 1500L)));
    try (MorvikPool pool = MorvikPool.start(slow, 2)) {
      final List<Long> before = pool.pids();
      final ExecutorService executor = Executors.newFixedThreadPool(2);
      final CountDownLatch started = new CountDownLatch(2);
      final List<Future<Object>> calls = new ArrayList<>();
      for (int i = 0; i < 2; ++i) {
        calls.add(executor.submit(() -> {
          started.countDown();
          try {
            pool.validate("alice", "Secret1!".toCharArray(), "CORP");
            return "valid";
          } catch (MorvikException e) {
            return e;
          }
        }));
      }
      started.await();
      Thread.sleep(500);
      ProcessHandle.of(before.get(0)).orElseThrow().destroyForcibly();
      final List<Object> outcomes = new ArrayList<>();
      for (Future<Object> f : calls) outcomes.add(f.get(30, TimeUnit.SECONDS));
      executor.shutdown();

      assertEquals(1, outcomes.stream().filter("valid"::equals).count(), outcomes.toString());
      final MorvikException told = (MorvikException) outcomes.stream().filter(o -> o instanceof MorvikException)
          .findFirst().orElseThrow();
      assertTrue(told.getMessage().contains("failed and was replaced"), told.getMessage());
      assertEquals(1, pool.replacements());
      assertNotEquals(before.get(0), pool.pids().get(0));
      assertEquals(before.get(1), pool.pids().get(1));
      for (int i = 0; i < 4; ++i) assertTrue(pool.isNtfs("C:\\"));
    }
  }

  @Test
  void aChildThatDiedWhileIdleFailsOneCallerOnly() throws Exception {
    try (MorvikPool pool = MorvikPool.start(Servers.demo(), 1)) {
      final ProcessHandle child = ProcessHandle.of(pool.pids().get(0)).orElseThrow();
      child.destroyForcibly();
      child.onExit().get(10, TimeUnit.SECONDS);
      assertThrows(MorvikException.class, pool::computerName);
      assertEquals("FILESRV01", pool.computerName());
      assertEquals(1, pool.replacements());
    }
  }

  @Test
  void closeEndsEveryChild() throws Exception {
    final MorvikPool pool = MorvikPool.start(Servers.demo(), 3);
    final List<Long> pids = pool.pids();
    assertEquals(3, pids.size());
    pool.close();
    for (long pid : pids) {
      ProcessHandle.of(pid).ifPresent(p -> assertTrue(p.onExit().isDone() || !p.isAlive()));
    }
    final MorvikException e = assertThrows(MorvikException.class, pool::computerName);
    assertTrue(e.getMessage().contains("closed"), e.getMessage());
  }

  @Test
  void closeDoesNotWaitForARequestInProgress() throws Exception {
    final ServerCommand slow = Servers.demoWith(Map.of("delays", Map.of("LogonUserW", 3000L)));
    final MorvikPool pool = MorvikPool.start(slow, 1);
    final ExecutorService executor = Executors.newSingleThreadExecutor();
    final Future<Object> call = executor.submit(() -> {
      try {
        pool.validate("alice", "Secret1!".toCharArray(), "CORP");
        return "valid";
      } catch (MorvikException e) {
        return e;
      }
    });
    Thread.sleep(500);
    pool.close();
    final Object outcome = call.get(2, TimeUnit.SECONDS);  // well before the logon's 3 s are up
    executor.shutdown();
    assertTrue(outcome instanceof MorvikException && ((MorvikException) outcome).getMessage()
        .contains("closed while the request ran"), String.valueOf(outcome));
  }

  @Test
  void aPoolWhoseChildrenCannotStartFailsAtOnce() {
    assertThrows(MorvikException.class, () -> MorvikPool.start(ServerCommand.of("/nonexistent/morvik"), 2));
  }
}
