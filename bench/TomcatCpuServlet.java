import jakarta.servlet.annotation.WebServlet;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;

/**
 * The request of bench/tomcat_cpu.sh: its CPU is in cpuWork(), called under
 * one lock from slowUpdate(), so that with several clients most request
 * threads wait for the lock while one computes.
 */
@WebServlet("/cpu")
public class TomcatCpuServlet extends HttpServlet {
    private static final Object LOCK = new Object();
    private static long state = 1;

    @Override
    protected void doGet(HttpServletRequest request, HttpServletResponse response) throws IOException {
        long value = slowUpdate();
        response.setContentType("text/plain");
        response.getWriter().println(value);
    }

    static long slowUpdate() {
        synchronized (LOCK) {
            state = cpuWork(state, 300_000);
            return state;
        }
    }

    static long cpuWork(long x, int rounds) {
        for (int i = 0; i < rounds; i++) {
            x = (x * 6364136223846793005L + 1442695040888963407L) ^ (x >>> 29);
        }
        return x;
    }
}
