package com.tolvane.snapshot;

import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.List;
import java.util.function.Consumer;
import java.util.function.Function;

/**
 * Walks over trees whose nodes list their children: the call trees of a
 * snapshot and the trees built from them. Call trees can be as deep as the
 * recorder's stack limit, and deeper in a hand-made file, so these walks use
 * an explicit stack instead of recursion.
 */
public final class TreeWalk {
    private TreeWalk() {
    }

    /** Visits the root and all its descendants in pre-order, each node's children in list order. */
    public static <T> void preOrder(T root, Function<? super T, ? extends List<? extends T>> children,
                                    Consumer<? super T> visitor) {
        Deque<T> pending = new ArrayDeque<>();
        pending.push(root);
        while (!pending.isEmpty()) {
            T node = pending.pop();
            visitor.accept(node);
            List<? extends T> kids = children.apply(node);
            for (int i = kids.size() - 1; i >= 0; i--) {
                pending.push(kids.get(i));
            }
        }
    }

    /** The root and all its descendants in pre-order: parents before children. */
    public static <T> List<T> preOrderList(T root, Function<? super T, ? extends List<? extends T>> children) {
        List<T> out = new ArrayList<>();
        preOrder(root, children, out::add);
        return out;
    }

    /**
     * The root and all its descendants in post-order, each node's children in
     * list order before the node itself: the order in which a snapshot stores
     * the nodes of a call tree.
     */
    public static <T> List<T> postOrderList(T root, Function<? super T, ? extends List<? extends T>> children) {
        List<T> out = new ArrayList<>();
        Deque<T> nodes = new ArrayDeque<>();
        Deque<Integer> next = new ArrayDeque<>();
        nodes.push(root);
        next.push(0);
        while (!nodes.isEmpty()) {
            T node = nodes.peek();
            int i = next.pop();
            List<? extends T> kids = children.apply(node);
            if (i < kids.size()) {
                next.push(i + 1);
                nodes.push(kids.get(i));
                next.push(0);
            } else {
                nodes.pop();
                out.add(node);
            }
        }
        return out;
    }

    /**
     * Visits every node after all of its descendants (pre-order reversed), so
     * a visitor can add a node's finished subtree figures into its parent's.
     */
    public static <T> void bottomUp(T root, Function<? super T, ? extends List<? extends T>> children,
                                    Consumer<? super T> visitor) {
        List<T> order = preOrderList(root, children);
        for (int i = order.size() - 1; i >= 0; i--) {
            visitor.accept(order.get(i));
        }
    }
}
