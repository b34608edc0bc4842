package com.tolvane.test;

import java.io.InputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.channels.Selector;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SelectionKey;

/**
 * A JVM with one thread in each kind of time: "spinner" computes on a CPU,
 * "selector" idles in Selector.select, "reader" is blocked reading a socket
 * that never gets data, "sleeper" sleeps. Prints its ready line once every
 * thread has reached its place, then runs until killed.
 */
public final class CpuTimeTarget {
    private static volatile long sink;

    private CpuTimeTarget() {
    }

    public static void main(String[] args) throws Exception {
        InetAddress loopback = InetAddress.getLoopbackAddress();
        ServerSocketChannel channel = ServerSocketChannel.open();
        channel.bind(new InetSocketAddress(loopback, 0));
        channel.configureBlocking(false);
        Selector selector = Selector.open();
        channel.register(selector, SelectionKey.OP_ACCEPT);

        ServerSocket server = new ServerSocket(0, 1, loopback);
        Socket client = new Socket(loopback, server.getLocalPort());
        Socket accepted = server.accept();

        start("spinner", () -> {
            while (true) {
                sink += spin(sink);
            }
        });
        start("selector", () -> {
            try {
                while (true) {
                    selector.select();
                }
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        start("reader", () -> {
            try (InputStream in = accepted.getInputStream()) {
                in.read();
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        start("sleeper", () -> {
            while (true) {
                try {
                    Thread.sleep(10_000);
                } catch (InterruptedException e) {
                    return;
                }
            }
        });
        Thread.sleep(300);
        System.out.println("CpuTimeTarget ready " + client.getLocalPort());
        System.out.flush();
        Thread.sleep(Long.MAX_VALUE);
    }

    private static void start(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        t.start();
    }

    static long spin(long seed) {
        long h = seed;
        for (int i = 0; i < 1_000_000; i++) {
            h = h * 31 + i;
        }
        return h;
    }
}
