// The sample client of the demo: shows what the launcher handed it.
public class Client {
    public static void main(String[] args) {
        System.out.println("Marvique sample client running under Java " + System.getProperty("java.version"));
        System.out.println("  working folder: " + System.getProperty("user.dir"));
        for (String arg : args)
            System.out.println("  argument: " + arg);
    }
}
