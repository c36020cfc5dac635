"""A large manifest, all up to date, is checked in linear time. Its time is
what it checks: its ctest entry runs alone."""
import time

from tests.e2e.test_update import MANIFEST_PATH, V1, WORK, UpdateCase, manifest


class LargeManifest(UpdateCase):
    def test_a_large_manifest_is_checked_in_linear_time(self):
        def up_to_date_run(files):
            """A run that finds every file of files in place and installed."""
            self.forget_run()
            self.serve(files)
            WORK.mkdir(parents=True, exist_ok=True)
            for path, (_, body) in files.items():
                (WORK / path).write_bytes(body)
            (WORK / "fcompare.ini").write_bytes(manifest(files))
            start = time.monotonic()
            self.assertEqual(1, self.run_update()[0])
            seconds = time.monotonic() - start
            self.assertClientStarted(self.link)
            self.assertEqual([("GET", MANIFEST_PATH)], self.requested())
            return seconds

        large = up_to_date_run(dict(V1, **{f"f{i:05}.jar": (str(i), b"") for i in range(30000)}))
        # What is not the check, measured with a manifest of two lines.
        self.assertLess(large - up_to_date_run(V1), 2.0, large)
