"""Renders the conda recipe as conda-build would and checks it against the build.

Usage: test_conda_recipe.py SOURCE_DIR. Exits 77 (skipped) without python3-jinja2 or
python3-yaml.
"""
import os
import re
import sys
import unittest

try:
    import jinja2
    import yaml
except ImportError as missing:
    print(f"SKIP: {missing.name} is not installed (tools/install-deps.sh installs it)")
    sys.exit(77)

SOURCE = sys.argv[1]
RECIPE = os.path.join(SOURCE, "packaging", "conda")


def read(*parts):
    with open(os.path.join(*parts)) as file:
        return file.read()


class Recipe(unittest.TestCase):
    def test_renders_with_the_project_s_version_licence_and_tests(self):
        # conda-build's own helpers, reduced to what they return for a Linux build.
        helpers = {"compiler": lambda language: f"{language}_compiler_stub",
                   "pin_subpackage": lambda name, max_pin=None: f"{name} (pinned {max_pin})"}
        recipe = yaml.safe_load(jinja2.Environment(undefined=jinja2.StrictUndefined).from_string(
            read(RECIPE, "meta.yaml")).render(**helpers))
        version = re.search(r"project\(Scalesum VERSION (\S+)", read(SOURCE, "CMakeLists.txt"))
        self.assertEqual(recipe["package"], {"name": "scalesum", "version": version.group(1)})
        about = recipe["about"]
        self.assertEqual((about["license"], about["license_family"]), ("MIT", "MIT"))
        self.assertIn("MIT License", read(SOURCE, about["license_file"]))
        self.assertEqual(recipe["build"]["run_exports"], ["scalesum (pinned x)"])
        self.assertIn("cxx_compiler_stub", recipe["requirements"]["build"])
        self.assertIn("zlib", recipe["requirements"]["host"])
        commands = recipe["test"]["commands"]
        self.assertIn(f'Scalesum --version | grep -x "Scalesum {version.group(1)}"', commands)
        self.assertIn("Scalesum examples/example.log examples/example.options > report.tsv",
                      commands)
        for path in recipe["test"]["source_files"]:
            self.assertTrue(os.path.isfile(os.path.join(SOURCE, path)), path)

    def test_nothing_asks_for_the_build_machine_s_instruction_set(self):
        build = read(RECIPE, "build.sh")
        self.assertIn("${CMAKE_ARGS}", build)
        for text in (build, read(RECIPE, "meta.yaml"), read(SOURCE, "CMakeLists.txt"),
                     read(SOURCE, "cmake", "DensityKernels.cmake")):
            self.assertNotRegex(text, r"-m(arch|tune)=native")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
