package org.morvik.client;

import java.time.Duration;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;

/**
 * How to start a server: its command line (no shell), variables added to the inherited
 * environment, and how long a reply may take before the server is stopped. Immutable.
 */
public final class ServerCommand {
  /** Long enough for a logon on a busy Windows; a stuck server is stopped after it. */
  public static final Duration DEFAULT_TIMEOUT = Duration.ofSeconds(30);

  private final List<String> command;
  private final Map<String, String> environment;
  private final Duration timeout;

  private ServerCommand(List<String> command, Map<String, String> environment, Duration timeout) {
    if (command.isEmpty()) throw new IllegalArgumentException("a server command needs a program");
    if (timeout.isNegative() || timeout.isZero()) throw new IllegalArgumentException("the timeout must be positive");
    this.command = List.copyOf(command);
    this.environment = Collections.unmodifiableMap(new LinkedHashMap<>(environment));
    this.timeout = timeout;
  }

  public static ServerCommand of(String... command) {
    return of(List.of(command));
  }

  public static ServerCommand of(List<String> command) {
    return new ServerCommand(command, Map.of(), DEFAULT_TIMEOUT);
  }

  /** This command with one more environment variable, such as {@code WINSIM_MACHINE}. */
  public ServerCommand withEnvironment(String name, String value) {
    final Map<String, String> env = new LinkedHashMap<>(environment);
    env.put(Objects.requireNonNull(name), Objects.requireNonNull(value));
    return new ServerCommand(command, env, timeout);
  }

  public ServerCommand withTimeout(Duration timeout) {
    return new ServerCommand(command, environment, timeout);
  }

  public List<String> command() {
    return command;
  }

  public Map<String, String> environment() {
    return environment;
  }

  public Duration timeout() {
    return timeout;
  }

  @Override
  public String toString() {
    return String.join(" ", command);
  }
}
